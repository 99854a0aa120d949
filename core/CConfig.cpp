#include "core/CConfig.h"

#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/ZelDateTime.h"
#include "foundation/ZelGlobalLocks.h"

#include <cstdio>
#include <limits>

namespace {

constexpr const char* kDefaultServer = "127.0.0.1:8080";
constexpr const char* kDefaultUrl = "/cgi-bin/velmo.cgi";

// The file profile of the document writer: no first indent, one blank per level, CR LF.
constexpr const char* kFileIndent = "";
constexpr const char* kFileIndentStep = " ";
constexpr const char* kFileNewline = "\r\n";

} // namespace

const std::array<const char*, CConfig::kKeyCount>& CConfig::Keys()
{
    static const std::array<const char*, kKeyCount> keys = {kServer, kUrl, kSmtpServerPort, kPop3ServerPort,
                                                            kBlockSize, kTlsCertificate, kTlsKey,
                                                            kServerFingerprint};
    return keys;
}

int CConfig::IndexOf(std::string_view key)
{
    const auto& keys = Keys();
    for (int i = 0; i < kKeyCount; ++i)
        if (key == keys[i])
            return i;
    return -1;
}

bool CConfig::IsKey(std::string_view key)
{
    return IndexOf(key) >= 0;
}

bool CConfig::IsNumberKey(std::string_view key)
{
    return key == kSmtpServerPort || key == kPop3ServerPort || key == kBlockSize;
}

CZelString CConfig::DefaultOf(std::string_view key)
{
    if (key == kServer)
        return kDefaultServer;
    if (key == kUrl)
        return kDefaultUrl;
    if (key == kSmtpServerPort)
        return Format("%d", kDefaultSmtpPort);
    if (key == kPop3ServerPort)
        return Format("%d", kDefaultPop3Port);
    if (key == kBlockSize)
        return Format("%d", kDefaultBlockSizeKb);
    return CZelString();
}

CConfig& CConfig::Global()
{
    static CConfig config;
    return config;
}

CConfig::CConfig()
{
    ResetToDefaults();
}

CZelString CConfig::Get(std::string_view key) const
{
    const int index = IndexOf(key);
    if (index < 0)
        return CZelString();
    CZelLockGuard guard(ZelStringGlobalLock(), "CConfig::Get()", __LINE__);
    return m_values[index];
}

bool CConfig::Set(std::string_view key, const CZelString& value)
{
    const int index = IndexOf(key);
    if (index < 0)
        return false;
    CZelLockGuard guard(ZelStringGlobalLock(), "CConfig::Set()", __LINE__);
    m_values[index] = value;
    return true;
}

void CConfig::ResetToDefaults()
{
    for (const char* key : Keys())
        Set(key, DefaultOf(key));
}

CConfig::LoadResult CConfig::Load(const CZelString& fileName)
{
    ResetToDefaults();
    LoadResult result;
    CZelXmlDocument document;
    if (!document.LoadFile(fileName, 0, &result.error, &result.line, &result.column)) {
        result.status = result.error.IsEmpty() ? LoadResult::Missing : LoadResult::Broken;
        return result;
    }
    result.status = LoadResult::Loaded;
    const CZelXmlNode root = document.RootElement();
    for (const char* key : Keys()) {
        const CZelString value = root.GetAttr(key);
        if (!value.IsEmpty())
            Set(key, value);
    }
    return result;
}

bool CConfig::Save(const CZelString& fileName, CZelString* keptAs) const
{
    CZelXmlDocument document;
    document.Create(kDoctype, kRootName);
    CZelXmlDocument existing;
    CZelString error;
    if (existing.LoadFile(fileName, 0, &error)) {
        // Everything else the file holds survives; a file without an element has nothing.
        if (!existing.RootElement().IsNull())
            document = existing;
    } else if (!error.IsEmpty()) {
        // The old file does not parse, yet its owner may still want what is in it.
        const CZelString kept = Format("%S.broken-%D", &fileName, NowMicroseconds());
        if (std::rename(fileName.Ptr(), kept.Ptr()) == 0 && keptAs)
            *keptAs = kept;
    }
    CZelXmlNode root = document.RootElement();
    for (const char* key : Keys()) {
        const CZelString value = Get(key);
        // An optional value left empty is not written: the file stays as a gateway without
        // that setting writes it.
        if (value.IsEmpty() && DefaultOf(key).IsEmpty())
            root.RemoveAttr(key);
        else
            root.SetAttr(key, value);
    }
    return document.SaveFile(fileName, 0, kFileIndent, kFileIndentStep, kFileNewline);
}

int32_t CConfig::ReadLeadingNumber(std::string_view text, int32_t fallback)
{
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n' ||
                                text[at] == '\v' || text[at] == '\f'))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    if (at >= text.size() || text[at] < '0' || text[at] > '9')
        return fallback;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        if (value < kLimit)
            value = value * 10 + (text[at] - '0');
    if (value > kLimit)
        value = kLimit;
    if (negative)
        return static_cast<int32_t>(-value);
    return static_cast<int32_t>(value == kLimit ? kLimit - 1 : value);
}

int32_t CConfig::ClampBlockSize(int32_t kb)
{
    if (kb < 1)
        return kDefaultBlockSizeKb;
    if (kb > kMaxBlockSizeKb)
        return kMaxBlockSizeKb;
    return kb;
}

int32_t CConfig::SmtpServerPort() const
{
    return ReadLeadingNumber(Get(kSmtpServerPort).View(), kDefaultSmtpPort);
}

int32_t CConfig::Pop3ServerPort() const
{
    return ReadLeadingNumber(Get(kPop3ServerPort).View(), kDefaultPop3Port);
}

int32_t CConfig::BlockSizeKb() const
{
    return ClampBlockSize(ReadLeadingNumber(Get(kBlockSize).View(), kDefaultBlockSizeKb));
}
