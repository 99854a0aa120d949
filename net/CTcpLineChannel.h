#pragma once
// CTcpLineChannel: a line channel on an accepted TCP connection. Reads go up to and
// including the first CR LF with the session's limit and time-out; a peer that is gone raises
// the socket error.

#include "net/ILineChannel.h"

#include <memory>
#include <vector>

class CTlsContext;
class CZelTcpFile;

class CTcpLineChannel : public ILineChannel {
public:
    // `connection` is in throw mode and outlives the channel. With a server context the
    // session may upgrade the connection to TLS.
    explicit CTcpLineChannel(CZelTcpFile& connection, std::shared_ptr<const CTlsContext> tls = nullptr);

    CZelString ReadLine(int maximum, int timeoutMs) override;
    bool Write(const CZelString& bytes, int timeoutMs) override;

    bool CanStartTls() const override;
    bool IsSecure() const override;
    bool StartTls(int timeoutMs) override;
    CZelString TlsFailure() const override;
    CZelString TlsProtocol() const override;

private:
    CZelTcpFile& m_connection;
    std::shared_ptr<const CTlsContext> m_tls;
    std::vector<char> m_buffer;   // kept between reads: every read may need the whole limit
};
