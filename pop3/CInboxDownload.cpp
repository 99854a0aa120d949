#include "pop3/CInboxDownload.h"

#include "core/CActivityTexts.h"
#include "core/CConfig.h"
#include "core/CProtocolListData.h"
#include "core/CTranslations.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelInboxTexts.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"

#include <exception>
#include <optional>

namespace {

constexpr char kThisFile[] = "CInboxDownload.cpp";
constexpr char kOpenForDownload[] = "RWCD|Sr";

CZelString Tr(const char* text)
{
    return Translate(text, kThisFile);
}

bool IsMessageLength(int64_t length)
{
    return length >= kInboxMinMessageBytes && length <= kInboxMaxMessageBytes;
}

// A file step that failed; its text is the file's own error or one the run makes.
struct CFileFailure {
    CZelString text;
};

// One run of ReceiveBlocks.
class CReceiveRun {
public:
    CReceiveRun(const CInboxFetch& fetch, const CZelServerAddress& server, CZelTcpFile& connection,
                CProtocolListData& log)
        : m_fetch(fetch), m_server(server), m_connection(connection), m_log(log)
    {
    }

    int Run();

private:
    int Loop();
    void ReadHeld();
    void ShowProgress();
    CZelString RequestText() const;
    int Exchange();
    int TakeBlock(const CZelString& payload);
    void WriteAt(int64_t offset, const char* bytes, int64_t count);
    int DataError();
    [[noreturn]] void FailFile();

    const CInboxFetch& m_fetch;
    const CZelServerAddress& m_server;
    CZelTcpFile& m_connection;
    CProtocolListData& m_log;
    CZelFile m_file;
    int64_t m_blockBytes = 0;
    std::optional<int64_t> m_length;   // L, once the file holds it
    int64_t m_held = 0;                // data bytes after the length
    int64_t m_progressLine = -1;
};

void CReceiveRun::FailFile()
{
    throw CFileFailure{m_file.GetText()};
}

int CReceiveRun::DataError()
{
    m_log.AddStringEx(kInboxLogDataError);
    return kReceiveDrop;
}

// What the file holds: the length once its 8 bytes are there, and the data after them. A file
// of fewer than 8 bytes holds nothing yet (its length was never written whole).
void CReceiveRun::ReadHeld()
{
    const int64_t size = m_file.Length();
    if (size < 0)
        FailFile();
    m_length.reset();
    m_held = 0;
    if (size < kInboxLengthHeadBytes)
        return;
    char head[kInboxLengthHeadBytes];
    if (!m_file.Seek(0))
        FailFile();
    for (int64_t done = 0; done < kInboxLengthHeadBytes;) {
        const int64_t read = m_file.Read(head + done, kInboxLengthHeadBytes - done);
        if (read < 0)
            FailFile();
        if (read == 0)
            throw CFileFailure{kInboxDownloadNotWhole};
        done += read;
    }
    m_length = GetInt64BE(head);
    m_held = size - kInboxLengthHeadBytes;
}

void CReceiveRun::ShowProgress()
{
    if (m_progressLine < 0)
        m_progressLine = m_log.AddStringEx(kInboxLogLineEnd);
    m_log.RewriteLine(m_progressLine, LogKind::Progress, kInboxLogProgress, m_held, *m_length);
    CActivityTexts::SetReceiving(FormatTr("%,D%,D", Tr(kInboxTextProgress), m_held, *m_length));
}

CZelString CReceiveRun::RequestText() const
{
    CZelXmlDocument request;
    request.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    CZelXmlNode root = request.RootElement();
    root.SetAttr(kAttrMessageId, m_fetch.messageId);
    if (m_length)
        root.SetAttr(kAttrLength, Format("%D", *m_length));
    root.SetAttr(kAttrPos, Format("%D", m_held));
    root.SetAttr(kAttrBlockSize, Format("%d", static_cast<int>(m_blockBytes)));
    return request.ToRequestText();
}

void CReceiveRun::WriteAt(int64_t offset, const char* bytes, int64_t count)
{
    if (!m_file.Seek(offset))
        FailFile();
    const int64_t written = m_file.Write(bytes, count);
    if (written != count) {
        if (written < 0)
            FailFile();
        throw CFileFailure{Format(kInboxFileWriteError, written, count)};
    }
}

int CReceiveRun::TakeBlock(const CZelString& payload)
{
    if (payload.IsEmpty()) {
        m_log.AddStringEx(kInboxLogZeroLength);
        return kReceiveDrop;
    }
    CZelString plain;
    if (!Unseal(m_fetch.inboxKey, payload, plain)) {
        m_log.AddStringEx(kInboxLogDecryptError);
        return kReceiveDrop;
    }
    if (plain.Length() < kInboxBlockHeadBytes)
        return DataError();
    const int64_t total = GetInt64BE(plain.Ptr());
    const int64_t offset = GetInt64BE(plain.Ptr() + 8);
    if (offset != m_held || (m_length && total != *m_length) || !IsMessageLength(total))
        return DataError();
    const int64_t count = plain.Length() - kInboxBlockHeadBytes;
    if (count == 0) {
        // Data remains, yet none came: asking again at once would only spin.
        m_log.Write(kInboxLogNoBytes, m_held, total);
        return kReceiveLater;
    }
    if (m_held + count > total)
        return DataError();
    if (!m_length) {
        const CZelString head = Int64BE(total);
        WriteAt(0, head.Ptr(), head.Length());
        m_length = total;
    }
    WriteAt(kInboxLengthHeadBytes + m_held, plain.Ptr() + kInboxBlockHeadBytes, count);
    if (!m_file.Flush())
        FailFile();
    return kReceiveComplete;
}

// One block request and its answer: kReceiveComplete when a block was written and the next may
// follow.
int CReceiveRun::Exchange()
{
    const CZelString sealed = Seal(m_fetch.accountId, m_fetch.keyNumber, m_fetch.inboxKey, RequestText());
    if (sealed.IsEmpty())
        return kReceiveLater;
    const CZelString body =
        HttpPost(Frame(kRequestFetchBlock, sealed), m_server, m_connection, kHttpLongWriteTimeoutMs, &m_log);
    for (const CZelRecord& record : SplitRecords(body))
        if (record.type == AnswerType(kRequestFetchBlock))
            return TakeBlock(record.payload);
    return kReceiveLater;
}

int CReceiveRun::Loop()
{
    if (!m_file.Open(m_fetch.downloadPath, kOpenForDownload))
        FailFile();
    const int32_t kb = CConfig::Global().BlockSizeKb();
    m_blockBytes = static_cast<int64_t>(kb) * 1024;
    m_log.AddStringEx(FormatTr("%S%d", Tr(kInboxTextReceiving), m_fetch.messageId, kb) + kInboxLogLineEnd);
    for (;;) {
        ReadHeld();
        if (m_length) {
            // A length the server can never have sent, or more data than it announces: the
            // file is not this message's any more.
            if (!IsMessageLength(*m_length) || m_held > *m_length)
                return DataError();
            ShowProgress();
            if (m_held == *m_length)
                return kReceiveComplete;
        }
        if (m_fetch.stopRequested && m_fetch.stopRequested())
            return kReceiveLater;
        const int result = Exchange();
        if (result != kReceiveComplete)
            return result;
    }
}

int CReceiveRun::Run()
{
    try {
        return Loop();
    } catch (const CFileFailure& failure) {
        m_log.Write(kInboxLogFileError, failure.text);
        return kReceiveDrop;
    } catch (const XTOOError& error) {
        // The connection failed: the data held so far stays for the next try.
        m_log.AddStringEx(error.GetText() + kInboxLogLineEnd);
        return kReceiveLater;
    } catch (...) {
        m_log.AddStringEx(kInboxLogUnknownError);
        return kReceiveDrop;
    }
}

} // namespace

int ReceiveBlocks(const CInboxFetch& fetch, const CZelServerAddress& server, CZelTcpFile& connection,
                  CProtocolListData& log)
{
    CReceiveRun run(fetch, server, connection, log);
    return run.Run();
}
