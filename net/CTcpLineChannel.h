#pragma once
// CTcpLineChannel: a line channel on an accepted TCP connection. Reads go up to and
// including the first CR LF with the session's limit and time-out; a peer that is gone raises
// the socket error.

#include "net/ILineChannel.h"

#include <vector>

class CZelTcpFile;

class CTcpLineChannel : public ILineChannel {
public:
    // `connection` is in throw mode and outlives the channel.
    explicit CTcpLineChannel(CZelTcpFile& connection);

    CZelString ReadLine(int maximum, int timeoutMs) override;
    bool Write(const CZelString& bytes, int timeoutMs) override;

private:
    CZelTcpFile& m_connection;
    std::vector<char> m_buffer;   // kept between reads: every read may need the whole limit
};
