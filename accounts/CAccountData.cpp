#include "accounts/CAccountData.h"

#include "accounts/CAccountFile.h"
#include "foundation/CZelXmlNode.h"

namespace {

using namespace AccountAttr;

std::vector<CAccountListEntry> ReadList(const CZelXmlNode& root, const char* listName)
{
    std::vector<CAccountListEntry> entries;
    for (CZelXmlNode user = root.FindChild(listName).FindChild(kUser); !user.IsNull(); user = user.NextSameName())
        entries.push_back({user.GetAttr(kName), user.GetAttr(kEmail)});
    return entries;
}

} // namespace

CAccountData CAccountData::New()
{
    CAccountData account;
    account.email = CAccountFile::ExampleEmail(CZelString());
    account.secureCode = CAccountFile::MakeSecureCode();
    account.autoReply = CAccountFile::DefaultAutoReply();
    account.autoReplyEng = CAccountFile::DefaultAutoReplyEng();
    return account;
}

CAccountData CAccountData::FromDocument(const CZelString& fileName, const CZelXmlDocument& document)
{
    const CZelXmlNode root = document.RootElement();
    CAccountData account;
    account.fileName = fileName;
    account.login = root.GetAttr(kLogin);
    account.password = root.GetAttr(kPassword);
    account.name = root.GetAttr(kName);
    account.id = root.GetAttr(kId);
    account.birthday = root.GetAttr(kBirthday);
    account.issuedBy = root.GetAttr(kIssuedBy);
    account.n = root.GetAttr(kN);
    account.d = root.GetAttr(kD);
    account.e = root.GetAttr(kE);
    account.email = root.GetAttr(kEmail);
    account.secureCode = root.GetAttr(kSecureCode);
    account.userLevel = root.GetAttr(kUserLevel);
    account.autoReply = root.GetAttr(kAutoReply);
    account.autoReplyEng = root.GetAttr(kAutoReplyEng);
    account.operatedStatus = root.GetAttr(kOperatedStatus);
    account.contactList = ReadList(root, kContactList);
    account.blackList = ReadList(root, kBlackList);
    for (const auto& row : account.Rows())
        account.rowsAsRead.push_back(row.second);
    return account;
}

std::vector<std::pair<const char*, CZelString>> CAccountData::Rows() const
{
    return {
        {kLogin, login},       {kPassword, password},   {kName, name},
        {kId, id},             {kBirthday, birthday},   {kIssuedBy, issuedBy},
        {kN, n},               {kD, d},                 {kE, e},
        {kEmail, email},       {kSecureCode, secureCode}, {kUserLevel, userLevel},
        {kAutoReply, autoReply}, {kAutoReplyEng, autoReplyEng}, {kOperatedStatus, operatedStatus},
        {kContactList, CZelString()}, {kBlackList, CZelString()},
    };
}

bool CAccountData::RowChanged(size_t index, const CZelString& value) const
{
    return index >= rowsAsRead.size() || rowsAsRead[index] != value;
}

int64_t CAccountData::Id() const
{
    return CAccountFile::ParseId(id);
}
