#pragma once
// CMemoryLineChannel: a line channel on memory, for tests and the fuzz driver. The client's
// bytes come from a source (a whole script, or a generator for streams too big to hold); the
// replies are kept one write each. Lines are cut as the TCP channel cuts them: up to and
// including the first CR LF, at most the read limit. Trickled, the source is taken one byte
// at a time, as from a peer that sends byte by byte.

#include "net/ILineChannel.h"

#include <functional>
#include <string>
#include <vector>

class CMemoryLineChannel : public ILineChannel {
public:
    // Appends the next bytes of the client to `out`; false when the client has no more.
    using Source = std::function<bool(std::string& out)>;

    // What a read meets once the source has run dry.
    enum class EAtEnd {
        Close,    // the peer closed: the socket error
        Silent,   // the peer stays silent: every read times out with nothing
    };

    CMemoryLineChannel(std::string script, bool trickle = false, EAtEnd atEnd = EAtEnd::Close);
    CMemoryLineChannel(Source source, bool trickle = false, EAtEnd atEnd = EAtEnd::Close);

    CZelString ReadLine(int maximum, int timeoutMs) override;
    bool Write(const CZelString& bytes, int timeoutMs) override;

    const std::vector<std::string>& Writes() const { return m_writes; }
    int Reads() const { return m_reads; }

    // Pretends the connection can be upgraded: the handshake succeeds without any bytes
    // moving, or fails with `failure` when that is not empty. The script goes on as the
    // client's protected bytes.
    void OfferTls(std::string failure = {});
    bool CanStartTls() const override { return m_tlsOffered && !m_secure; }
    bool IsSecure() const override { return m_secure; }
    bool StartTls(int timeoutMs) override;
    CZelString TlsFailure() const override { return CZelString(std::string_view(m_tlsFailure)); }
    CZelString TlsProtocol() const override { return CZelString(m_secure ? "memory" : ""); }

private:
    bool Refill();

    Source m_source;
    bool m_trickle;
    EAtEnd m_atEnd;
    std::string m_pending;
    size_t m_pendingStart = 0;
    std::vector<std::string> m_writes;
    int m_reads = 0;
    bool m_tlsOffered = false;
    bool m_secure = false;
    std::string m_tlsFailure;
};
