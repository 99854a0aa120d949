#include "accounts/CAccountFile.h"

#include "core/CTranslations.h"
#include "crypto/CCryptRandom.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFileFind.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelNumbers.h"
#include "foundation/ZelPath.h"

#include <cstdint>
#include <limits>

namespace {
constexpr char kThisFile[] = "Accounts.cpp";
constexpr char kAutoReplyText[] =
    "To receive my Security Code please call .... phone number or sent regular e-mail to the next e-mail "
    "address: ";
constexpr char kAutoReplyPlaceholder[] = "...@..";
constexpr char kExampleDomain[] = "velmo.example";
constexpr char kExampleLocalPart[] = "name";
// Longer digit runs could overflow the id; no account file has them.
constexpr int32_t kMaxIdDigits = 18;

// The id of a registered account file's name ("00000007.xml"); -1 for other names.
int64_t RegisteredIdOf(const CZelString& name)
{
    const int32_t dot = name.Find('.');
    if (dot <= 0 || dot > kMaxIdDigits)
        return -1;
    int64_t id = 0;
    for (int32_t i = 0; i < dot; ++i) {
        const char digit = name.Ptr()[i];
        if (digit < '0' || digit > '9')
            return -1;
        id = id * 10 + (digit - '0');
    }
    return id;
}
} // namespace

CZelString CAccountFile::FileNameFor(int64_t id)
{
    return Format(kNameFormat, id);
}

CZelString CAccountFile::FreeTemporaryName()
{
    for (int number = 1; number < std::numeric_limits<int>::max(); ++number) {
        const CZelString name = Format(kTemporaryNameFormat, number);
        bool taken = false;
        if (CZelFile::CreateNewFile(name, &taken))
            return name;
        if (!taken)
            break;   // the folder refuses new files: no number will do
    }
    return CZelString();
}

int64_t CAccountFile::ParseId(const CZelString& text)
{
    int64_t id = -1;
    return ParseDecimal(text, id) ? id : -1;
}

bool CAccountFile::FileNameNumber(const CZelString& fileName, int64_t& number)
{
    const CZelString name = ZelPath::FileName(fileName);
    const int32_t dot = name.Find('.');
    const CZelString head = dot < 0 ? name : name.Left(dot);
    return ParseDecimal(head, number);
}

std::vector<int64_t> CAccountFile::RegisteredIds()
{
    std::vector<int64_t> ids;
    for (CZelFileFind find(kPattern, 1, CZelFileFind::kFilesOnly); find.Next();)
        if (const int64_t id = RegisteredIdOf(find.Name()); id >= 0)
            ids.push_back(id);
    return ids;
}

bool CAccountFile::Load(const CZelString& fileName, CZelXmlDocument& document)
{
    CZelXmlDocument loaded = NewDocument();
    if (!loaded.LoadFile(fileName) || loaded.RootElement().IsNull())
        return false;
    document = loaded;
    return true;
}

bool CAccountFile::Save(const CZelString& fileName, const CZelXmlDocument& document)
{
    return document.SaveFile(fileName, 0, CZelXmlDocument::kIndent, CZelXmlDocument::kIndentStep,
                             CZelXmlDocument::kFileNewline);
}

CZelXmlDocument CAccountFile::NewDocument()
{
    CZelXmlDocument document;
    document.Create(kDocType, CZelXmlDocument::kDefaultRootName);
    return document;
}

CZelXmlNode CAccountFile::EnsureChild(CZelXmlNode parent, const char* name, bool* created)
{
    CZelXmlNode child = parent.FindChild(name);
    if (!child.IsNull())
        return child;
    CZelXmlElement element(name);
    parent.AddChild(element);
    if (created)
        *created = true;
    return element;
}

CZelString CAccountFile::MakeSecureCode()
{
    uint8_t bytes[8] = {};
    CryptRandomFill(bytes, sizeof bytes);
    auto word = [&](int at) {
        return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
               static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    };
    return Format("%08X%08X", word(0), word(4));
}

CZelString CAccountFile::DefaultAutoReplyEng()
{
    return CZelString(kAutoReplyText) + kAutoReplyPlaceholder;
}

CZelString CAccountFile::DefaultAutoReply()
{
    return Translate(kAutoReplyText, kThisFile) + kAutoReplyPlaceholder;
}

CZelString CAccountFile::ExampleEmail(const CZelString& login)
{
    const CZelString local = login.IsEmpty() ? CZelString(kExampleLocalPart) : login;
    return local + "@" + kExampleDomain;
}
