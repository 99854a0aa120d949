#include "accounts/CAccountLogins.h"

#include "accounts/CAccountFile.h"
#include "foundation/CZelFileFind.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelGlobalLocks.h"

void CAccountLogins::Build(const LogSink& log)
{
    m_ids.clear();
    CZelFileFind find(CAccountFile::kPattern, 1, CZelFileFind::kFilesOnly);
    while (find.Next()) {
        int64_t number = 0;
        if (!CAccountFile::FileNameNumber(find.Name(), number))
            continue;
        CZelXmlDocument document;
        {
            CZelLockGuard hold(ZelDataLock(), "CAccountLogins::Build()", __LINE__);
            if (!CAccountFile::Load(find.Name(), document))
                continue;
        }
        const CZelXmlNode root = document.RootElement();
        const CZelString login = root.GetAttr(AccountAttr::kLogin);
        if (CAccountFile::ParseId(root.GetAttr(AccountAttr::kId)) != number || number < 0)
            continue;
        if (!m_ids.emplace(login, number).second)
            continue;
        if (log)
            log(Format(kAllowedUserLine, number, login));
    }
}

int64_t CAccountLogins::Find(const CZelString& login) const
{
    const auto found = m_ids.find(login);
    return found == m_ids.end() ? -1 : found->second;
}

bool CAccountLogins::Authenticate(int64_t id, const CZelString& login, const CZelString& password)
{
    if (id < 0)
        return false;
    CZelXmlDocument document;
    {
        CZelLockGuard hold(ZelDataLock(), "CAccountLogins::Authenticate()", __LINE__);
        if (!CAccountFile::Load(CAccountFile::FileNameFor(id), document))
            return false;
    }
    const CZelXmlNode root = document.RootElement();
    bool hasLogin = false;
    bool hasPassword = false;
    const CZelString fileLogin = root.GetAttr(AccountAttr::kLogin, &hasLogin);
    const CZelString filePassword = root.GetAttr(AccountAttr::kPassword, &hasPassword);
    return hasLogin && hasPassword && fileLogin == login && filePassword == password;
}
