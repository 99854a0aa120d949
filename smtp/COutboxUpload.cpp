#include "smtp/COutboxUpload.h"

#include "core/CActivityTexts.h"
#include "core/CConfig.h"
#include "core/CProtocolListData.h"
#include "core/CTranslations.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/ZelDateTime.h"
#include "foundation/XTOOError.h"
#include "history/CMessageHistory.h"
#include "net/CZelTcpFile.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelSmtpTexts.h"
#include "protocol/ZelTransferHash.h"

#include <string>
#include <vector>

namespace {

constexpr char kThisFile[] = "COutboxUpload.cpp";
constexpr char kOpenForUpload[] = "R|Sr";
// The hash reads the file in pieces of this size, so a large file is never held whole.
constexpr int64_t kHashPiece = 1 << 20;

CZelString Tr(const char* text)
{
    return Translate(text, kThisFile);
}

// The block size in bytes: the configured KB, a text that is no number counting as 1.
int64_t BlockBytes()
{
    const int32_t kb = CConfig::ClampBlockSize(CConfig::ReadLeadingNumber(CConfig::Global().Get(CConfig::kBlockSize).View(), 1));
    return static_cast<int64_t>(kb) * 1024;
}

std::vector<CSentEntry> Recipients(const CZelXmlDocument& list)
{
    std::vector<CSentEntry> entries;
    for (CZelXmlNode rcpt = list.RootElement().FindChild(kElementRcpt); !rcpt.IsNull(); rcpt = rcpt.NextSameName())
        entries.push_back({rcpt.GetAttr(kAttrMsgId), rcpt.GetAttr(kAttrRcpt), rcpt.GetAttr(kAttrUserId),
                           rcpt.GetAttr(kAttrName), rcpt.GetAttr(kAttrTranslitName), rcpt.GetAttr(kAttrUnicodeName)});
    return entries;
}

bool LoadList(const CZelString& path, CZelXmlDocument& list)
{
    return list.LoadFile(path) && !list.RootElement().IsNull();
}

// What the server's final status said.
struct CFinalStatus {
    bool received = false;
    CZelString status;
    CZelString errorMessage;
    CZelString timeStamp;
};

// One upload of one queued file; see eMessageIsSent.
class CUploadRun {
public:
    CUploadRun(int64_t accountId, const CZelString& key, int64_t keyNumber, const CZelString& filePath,
               const CZelString& listPath, const CZelServerAddress& server, CProtocolListData& log)
        : m_accountId(accountId), m_key(key), m_keyNumber(static_cast<uint32_t>(keyNumber)), m_filePath(filePath),
          m_listPath(listPath), m_server(server), m_log(log), m_connection(EErrorMode::Throw)
    {
    }

    int Run();

private:
    enum class EAnswer { Acknowledged, Retry, Refused, Unreadable };

    bool OpenAndHash();
    void AnnounceStart(int64_t blockBytes);
    void ShowProgress(int64_t done);
    bool ReadBlock(int64_t length, std::string& plain);
    EAnswer SendBlock(int64_t length);
    EAnswer TakeAcknowledgement(const CZelString& payload, int64_t dataBytes);
    bool TakeStatus(const CZelString& payload);
    int Finish();
    int RecordSent();
    void LogFailure();
    int FileError(const XTOOError& error);

    const int64_t m_accountId;
    const CZelString m_key;
    const uint32_t m_keyNumber;
    const CZelString m_filePath;
    const CZelString m_listPath;
    const CZelServerAddress m_server;
    CProtocolListData& m_log;
    CZelTcpFile m_connection;
    CZelFile m_file;
    int64_t m_length = 0;
    int64_t m_offset = 0;
    CZelString m_hash;
    int64_t m_progressLine = -1;
    CFinalStatus m_final;
};

int CUploadRun::FileError(const XTOOError& error)
{
    m_log.Write(kSmtpLogFileError, error.GetText());
    return kUploadFinished;
}

bool CUploadRun::OpenAndHash()
{
    if (!m_file.Open(m_filePath, kOpenForUpload))
        return false;
    m_length = m_file.Length();
    if (m_length < 0)
        return false;
    CTransferHasher hasher(m_key);
    std::string piece(static_cast<size_t>(std::min(kHashPiece, std::max<int64_t>(m_length, 1))), '\0');
    for (int64_t done = 0; done < m_length;) {
        const int64_t read = m_file.Read(piece.data(), std::min<int64_t>(piece.size(), m_length - done));
        if (read <= 0)
            return false;
        hasher.Add(piece.data(), read);
        done += read;
    }
    m_hash = hasher.Finish();
    return true;
}

void CUploadRun::AnnounceStart(int64_t blockBytes)
{
    CZelXmlDocument list;
    if (LoadList(m_listPath, list)) {
        int32_t count = 0;
        const CZelXmlNode first = list.RootElement().FindChild(kElementRcpt, &count);
        if (count == 1)
            m_log.AddStringEx(FormatTr("%S%D", Tr(kSmtpTextSendingOne), first.GetAttr(kAttrMsgId), blockBytes / 1024) +
                              kSmtpLogLineEnd);
        else
            m_log.AddStringEx(FormatTr("%d%D", Tr(kSmtpTextSendingMany), count, blockBytes / 1024) + kSmtpLogLineEnd);
    }
    m_progressLine = m_log.AddStringEx(kSmtpLogLineEnd);
}

void CUploadRun::ShowProgress(int64_t done)
{
    const CZelString text = FormatTr("%,D%,D", Tr(kSmtpTextProgress), done, m_length);
    if (m_progressLine >= 0)
        m_log.RewriteLineText(m_progressLine, text, LogKind::Progress);
    CActivityTexts::SetSending(text);
}

bool CUploadRun::ReadBlock(int64_t length, std::string& plain)
{
    plain.assign(kUploadBlockHeadSize + static_cast<size_t>(length), '\0');
    PutInt64BE(m_length, plain.data());
    PutInt64BE(m_offset, plain.data() + 8);
    plain.replace(16, kTransferHashSize, m_hash.View());
    if (length == 0)
        return true;
    if (!m_file.Seek(m_offset))
        return false;
    for (int64_t done = 0; done < length;) {
        const int64_t read = m_file.Read(plain.data() + kUploadBlockHeadSize + done, length - done);
        if (read <= 0)
            return false;
        done += read;
    }
    return true;
}

CUploadRun::EAnswer CUploadRun::TakeAcknowledgement(const CZelString& payload, int64_t dataBytes)
{
    CZelString plain;
    if (!Unseal(m_key, payload, plain)) {
        m_log.AddStringEx(kSmtpLogAckDecryptError);
        return EAnswer::Retry;
    }
    const int64_t total = plain.Length() == 16 ? GetInt64BE(plain.Ptr()) : -1;
    const int64_t next = plain.Length() == 16 ? GetInt64BE(plain.Ptr() + 8) : -1;
    if (total != m_length || next < 0 || next > m_length || next < m_offset + dataBytes) {
        m_log.AddStringEx(kSmtpLogAckDataError);
        return EAnswer::Retry;
    }
    m_offset = next;
    ShowProgress(next);
    return EAnswer::Acknowledged;
}

// Keeps the status document's verdict; false when it opened but did not parse (logged). A
// record that does not open is skipped: it is not the server's word.
bool CUploadRun::TakeStatus(const CZelString& payload)
{
    CZelString plain;
    if (!Unseal(m_key, payload, plain))
        return true;
    CZelXmlDocument status;
    if (!status.Parse(plain) || status.RootElement().IsNull()) {
        m_log.AddStringEx(kSmtpLogStatusError);
        return false;
    }
    const CZelXmlNode root = status.RootElement();
    m_final = {true, root.GetAttr(kAttrStatus), root.GetAttr(kAttrErrorMessage), root.GetAttr(kAttrTimeStamp)};
    return true;
}

CUploadRun::EAnswer CUploadRun::SendBlock(int64_t dataBytes)
{
    std::string plain;
    if (!ReadBlock(dataBytes, plain))
        return EAnswer::Unreadable;
    const CZelString sealed = Seal(m_accountId, m_keyNumber, m_key, CZelString(std::string_view(plain)));
    plain = std::string();
    if (sealed.IsEmpty())
        return EAnswer::Retry;
    const CZelString body = HttpPost(Frame(kRequestUploadBlock, sealed), m_server, m_connection, kHttpLongWriteTimeoutMs, &m_log);
    bool acknowledged = false;
    CFinalStatus early;
    for (const CZelRecord& record : SplitRecords(body)) {
        if (record.type == AnswerType(kRequestUploadBlock)) {
            const EAnswer answer = TakeAcknowledgement(record.payload, acknowledged ? 0 : dataBytes);
            if (answer != EAnswer::Acknowledged)
                return answer;
            acknowledged = true;
        } else if (record.type == AnswerType(kRecordQueuedMessage)) {
            // A status counts once the whole file is acknowledged; before that only a refusal
            // that comes instead of any acknowledgement is the server's verdict.
            if (m_offset == m_length && acknowledged) {
                if (!TakeStatus(record.payload))
                    return EAnswer::Retry;
            } else if (!acknowledged) {
                std::swap(early, m_final);
                const bool parsed = TakeStatus(record.payload);
                std::swap(early, m_final);
                if (!parsed)
                    return EAnswer::Retry;
            }
        }
    }
    if (!acknowledged && early.received && early.status != kStatusOk) {
        m_final = early;
        return EAnswer::Refused;
    }
    return acknowledged ? EAnswer::Acknowledged : EAnswer::Retry;
}

void CUploadRun::LogFailure()
{
    CZelString text = FormatTr("%D%S", Tr(kSmtpTextSendFailed), m_length, m_final.errorMessage);
    CZelXmlDocument list;
    if (LoadList(m_listPath, list))
        for (const CSentEntry& entry : Recipients(list))
            text += FormatTr("%S%S%S", Tr(kSmtpTextFailedRecipient), entry.messageId, entry.name, entry.email);
    m_log.AddStringEx(text);
}

int CUploadRun::RecordSent()
{
    CZelXmlDocument list;
    if (!LoadList(m_listPath, list))
        return kUploadFinished;
    const std::vector<CSentEntry> entries = Recipients(list);
    if (entries.empty())
        return kUploadFinished;
    const int64_t now = NowMicroseconds();
    CMessageHistory::RecordSent(m_accountId, entries, m_final.timeStamp, now);
    CZelString text = Tr(kSmtpTextSentHead);
    const int64_t seconds = now / 1000000;
    for (const CSentEntry& entry : entries)
        text += FormatTr("%S%S%S%S%03d", Tr(kSmtpTextSentTo), entry.messageId, entry.name, entry.email,
                         DateTimeText(seconds), static_cast<int>(now / 1000 % 1000));
    CActivityTexts::SetSending(Tr(kSmtpTextMessageSent));
    m_log.AddStringEx(text);
    return kUploadSent;
}

int CUploadRun::Finish()
{
    if (!m_final.received)
        return kUploadRetry;
    if (m_final.status == kStatusOk && m_offset == m_length)
        return RecordSent();
    LogFailure();
    return kUploadFinished;
}

int CUploadRun::Run()
{
    try {
        if (!OpenAndHash())
            return FileError(m_file);
        const int64_t blockBytes = BlockBytes();
        AnnounceStart(blockBytes);
        bool first = true;
        while (first || m_offset < m_length) {
            ShowProgress(m_offset);
            const int64_t dataBytes = first ? 0 : std::min(blockBytes, m_length - m_offset);
            first = false;
            switch (SendBlock(dataBytes)) {
            case EAnswer::Acknowledged:
                continue;
            case EAnswer::Refused:
                return Finish();
            case EAnswer::Unreadable:
                return FileError(m_file);
            case EAnswer::Retry:
                return kUploadRetry;
            }
        }
        return Finish();
    } catch (const XTOOError& error) {
        // No verdict: the file stays for a later pass.
        m_log.AddStringEx(error.GetText() + kSmtpLogLineEnd);
        return kUploadRetry;
    }
}

} // namespace

int eMessageIsSent(int64_t accountId, const CZelString& outboxKey, int64_t keyNumber, const CZelString& filePath,
                   const CZelString& listPath, const CZelServerAddress& server, CProtocolListData* log)
{
    CUploadRun run(accountId, outboxKey, keyNumber, filePath, listPath, server, log ? *log : SmtpLog());
    return run.Run();
}
