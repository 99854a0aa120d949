// CZelTcpFile: the TLS layer. Under TLS the socket path moves ciphertext only: it fills the
// ciphertext queue, the session decrypts from there into the push-back buffer, and every
// write is encrypted before it goes the usual way. Callers read and write lines as before.
#include "net/CZelTcpFile.h"

#include "net/CZelTcpFileLink.h"
#include "net/ZelSockets.h"
#include "tls/CTlsStream.h"

#include <algorithm>
#include <climits>

namespace {
// One read of ciphertext: a whole TLS record and its header.
constexpr int kCipherPiece = 16384 + 512;
} // namespace

bool CZelTcpFile::StartTlsServer(const CTlsContext& context, int timeoutMs)
{
    CheckMayBlock("StartTlsServer()");
    return StartTls(std::make_unique<CTlsStream>(context, CTlsStream::ERole::Server), timeoutMs);
}

bool CZelTcpFile::StartTlsClient(const CTlsContext& context, const std::string& serverName, int timeoutMs)
{
    CheckMayBlock("StartTlsClient()");
    return StartTls(std::make_unique<CTlsStream>(context, CTlsStream::ERole::Client, serverName), timeoutMs);
}

bool CZelTcpFile::StartTls(std::unique_ptr<CTlsStream> stream, int timeoutMs)
{
    m_tlsFailure.clear();
    if (!m_link || m_tls || IsGone()) {
        m_tlsFailure = m_tls ? "TLS is already on" : "the connection is closed";
        return false;
    }
    // Whatever was read past the command that asked for TLS came in the clear; carried over it
    // would be taken for protected input.
    m_pushBack.Clear();
    m_cipherIn.Clear();
    m_tls = std::move(stream);
    if (RunHandshake(timeoutMs))
        return true;
    // Broken TLS leaves nothing usable: later calls see a closed connection.
    Abort();
    return false;
}

bool CZelTcpFile::RunHandshake(int timeoutMs)
{
    const int64_t deadline = ZelTickMs() + std::max(timeoutMs, 0);
    char piece[kCipherPiece];
    for (;;) {
        const CTlsStream::EStep step = m_tls->Handshake();
        if (!SendTlsOutput(deadline, kNoTimeout)) {
            m_tlsFailure = "TLS handshake: the peer stopped taking data";
            return false;
        }
        if (step == CTlsStream::EStep::Done)
            return true;
        if (step != CTlsStream::EStep::NeedInput) {
            m_tlsFailure = m_tls->FailureReason();
            return false;
        }
        const int64_t left = deadline - ZelTickMs();
        if (left <= 0) {
            m_tlsFailure = "TLS handshake: timed out";
            return false;
        }
        const int got = RawReadCore(piece, sizeof piece, kReadAnyData | static_cast<uint32_t>(left), kNoTimeout);
        if (got <= 0) {
            m_tlsFailure = got < 0 ? "TLS handshake: the peer closed the connection" : "TLS handshake: timed out";
            return false;
        }
        m_tls->PutIncoming(std::string_view(piece, static_cast<size_t>(got)));
    }
}

// Sends the ciphertext the session has made (handshake messages, records, alerts).
bool CZelTcpFile::SendTlsOutput(int64_t deadline, int idleMs)
{
    if (!m_tls->HasOutgoing())
        return true;
    const CZelString cipher(std::string_view(m_tls->TakeOutgoing()));
    const int64_t left = deadline == INT64_MAX ? kNoTimeout : std::max<int64_t>(0, deadline - ZelTickMs());
    const int timeoutMs = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    return RawWriteCore(cipher.Ptr(), cipher.Length(), &cipher, timeoutMs, idleMs) == cipher.Length();
}

int CZelTcpFile::TlsReadCore(char* buffer, int count, uint32_t timeoutWord, int idleMs)
{
    if (!buffer || count <= 0)
        return 0;
    const bool any = (timeoutWord & kReadAnyData) != 0;
    const int64_t deadline = ZelTickMs() + static_cast<int>(timeoutWord & kReadTimeoutMask);
    char piece[kCipherPiece];
    int delivered = 0;
    bool gone = false;
    // What already arrived is looked at once even without time left.
    for (bool first = true;; first = false) {
        delivered += m_pushBack.Take(buffer + delivered, count - delivered);
        if (delivered >= count || (any && delivered > 0) || gone)
            break;
        std::string plain;
        const CTlsStream::EStep step = m_tls->Read(plain);
        m_pushBack.Append(plain.data(), static_cast<int>(plain.size()));
        if (!plain.empty())
            continue;
        if (step == CTlsStream::EStep::Closed || step == CTlsStream::EStep::Failed) {
            m_tlsFailure = m_tls->FailureReason();
            gone = true;
            continue;
        }
        const int64_t left = deadline - ZelTickMs();
        if (left <= 0 && !first)
            break;
        const uint32_t wait = static_cast<uint32_t>(std::clamp<int64_t>(left, 0, kReadTimeoutMask));
        const int got = RawReadCore(piece, sizeof piece, kReadAnyData | wait, idleMs);
        if (got < 0)
            gone = true;
        else if (got == 0 && ZelTickMs() >= deadline)
            break;
        else
            m_tls->PutIncoming(std::string_view(piece, static_cast<size_t>(got)));
    }
    if (delivered > 0)
        return delivered;
    return gone ? -1 : 0;
}

int CZelTcpFile::TlsWriteCore(const char* data, int length, int timeoutMs, int idleMs)
{
    if (IsGone())
        return ClosedResult();
    if (m_tls->Write(std::string_view(data, static_cast<size_t>(length))) != CTlsStream::EStep::Done) {
        m_tlsFailure = m_tls->FailureReason();
        return Throws() ? ClosedResult() : -1;
    }
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : ZelTickMs() + timeoutMs;
    // Records are all or nothing for the peer: a write cut short delivered none of its bytes
    // that can be counted on.
    return SendTlsOutput(deadline, idleMs) ? length : 0;
}

void CZelTcpFile::EndTls()
{
    m_tls.reset();
    m_cipherIn.Clear();
}

std::string CZelTcpFile::TlsProtocol() const
{
    return m_tls ? m_tls->Protocol() : std::string();
}
