#pragma once
// CSmtpTcpChannel: the SMTP channel on an accepted TCP connection. Reads go up to and
// including the first CR LF with the session's limit and time-out; a peer that is gone raises
// the socket error.

#include "smtp/ISmtpChannel.h"

#include <vector>

class CZelTcpFile;

class CSmtpTcpChannel : public ISmtpChannel {
public:
    // `connection` is in throw mode and outlives the channel.
    explicit CSmtpTcpChannel(CZelTcpFile& connection);

    CZelString ReadLine(int maximum, int timeoutMs) override;
    void Write(const CZelString& bytes, int timeoutMs) override;

private:
    CZelTcpFile& m_connection;
    std::vector<char> m_buffer;   // kept between reads: every read may need the whole limit
};
