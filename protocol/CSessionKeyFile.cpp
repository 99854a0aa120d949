#include "protocol/CSessionKeyFile.h"

#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/ZelNumbers.h"
#include "protocol/ZelSealing.h"

namespace {

int64_t ReadCount(const CZelXmlNode& root, const char* name)
{
    int64_t value = -1;
    if (root.IsNull() || !ParseDecimal(root.GetAttr(name), value) || value < 0)
        return -1;
    return value;
}

bool HasSystemRoot(const CZelXmlDocument& document)
{
    const CZelXmlNode root = document.RootElement();
    return !root.IsNull() && root.Name() == CZelXmlDocument::kDefaultRootName;
}

} // namespace

CZelString CSessionKeyFile::PathFor(int64_t accountId, const char* folder)
{
    return Format("Accounts/%08D/%s/%s", accountId, folder, kFileName);
}

bool CSessionKeyFile::IsValid(const CZelXmlDocument& document)
{
    if (!HasSystemRoot(document))
        return false;
    const CZelXmlNode root = document.RootElement();
    return root.GetAttr(kSessionKey).Length() == kSessionKeySize && ReadCount(root, kSessionKeyId) >= 0 &&
           ReadCount(root, kSessionKeyUseCount) >= 0;
}

bool CSessionKeyFile::Renew(CZelXmlDocument& document, uint32_t keyNumber)
{
    if (!HasSystemRoot(document) &&
        !document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName))
        return false;
    CZelXmlNode root = document.RootElement();
    return root.SetAttr(kSessionKey, MakeSessionKey()) && root.SetAttr(kSessionKeyId, Format("%u", keyNumber)) &&
           root.SetAttr(kSessionKeyUseCount, "0") && root.SetAttr(kSessionKeyLock, "0");
}

bool CSessionKeyFile::Load(const CZelString& path, CZelXmlDocument& document)
{
    CZelLockGuard guard(ZelDataLock(), "CSessionKeyFile::Load()", __LINE__);
    return document.LoadFile(path);
}

bool CSessionKeyFile::Save(const CZelString& path, const CZelXmlDocument& document)
{
    CZelLockGuard guard(ZelDataLock(), "CSessionKeyFile::Save()", __LINE__);
    return document.SaveFile(path);
}

bool CSessionKeyFile::LoadOrRenew(const CZelString& path, uint32_t keyNumber, CZelXmlDocument& document,
                                  bool* renewed)
{
    CZelLockGuard guard(ZelDataLock(), "CSessionKeyFile::LoadOrRenew()", __LINE__);
    if (renewed != nullptr)
        *renewed = false;
    CZelXmlDocument loaded;
    if (Load(path, loaded) && IsValid(loaded)) {
        document = loaded;
        return true;
    }
    if (!Renew(loaded, keyNumber) || !Save(path, loaded))
        return false;
    if (renewed != nullptr)
        *renewed = true;
    document = loaded;
    return true;
}

CZelString CSessionKeyFile::Key(const CZelXmlDocument& document)
{
    return document.RootElement().GetAttr(kSessionKey);
}

int64_t CSessionKeyFile::KeyNumber(const CZelXmlDocument& document)
{
    return ReadCount(document.RootElement(), kSessionKeyId);
}

int64_t CSessionKeyFile::UseCount(const CZelXmlDocument& document)
{
    return ReadCount(document.RootElement(), kSessionKeyUseCount);
}

bool CSessionKeyFile::IsLocked(const CZelXmlDocument& document)
{
    return document.RootElement().GetAttr(kSessionKeyLock) == "1";
}
