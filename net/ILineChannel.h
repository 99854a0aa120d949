#pragma once
// ILineChannel: the byte stream a line-based session (SMTP, POP3) talks over. The listener
// hands the session a channel on the accepted TCP connection; tests and the fuzz drivers hand
// it one on memory, so a dialogue can be driven whole or a byte at a time without sockets.

#include "foundation/CZelString.h"

class ILineChannel {
public:
    virtual ~ILineChannel() = default;

    // The bytes up to and including the first CR LF, at most `maximum` of them, waiting at most
    // `timeoutMs`. After the time-out, what arrived so far (possibly nothing). Throws the
    // socket error (XTOOSockErr / XTOOSockClose) when the peer is gone and nothing is left.
    virtual CZelString ReadLine(int maximum, int timeoutMs) = 0;
    // Sends all of `bytes` within `timeoutMs`. False when the time ran out first (part of the
    // bytes may have gone); a session streaming a long answer must stop there, since what it
    // sends next would no longer follow what the peer received.
    virtual bool Write(const CZelString& bytes, int timeoutMs) = 0;

    // --- TLS, for the sessions that offer it (STARTTLS, STLS) ---
    // Whether the connection can still be upgraded: a server pair is there and no TLS yet.
    virtual bool CanStartTls() const { return false; }
    // Whether the bytes now cross the network protected.
    virtual bool IsSecure() const { return false; }
    // Runs the server side of the handshake within `timeoutMs`; what the client sent before it
    // is dropped. False when it failed: the connection is then of no further use, and
    // TlsFailure() says why.
    virtual bool StartTls(int /*timeoutMs*/) { return false; }
    virtual CZelString TlsFailure() const { return CZelString(); }
    // The protocol agreed ("TLSv1.3"), for the log.
    virtual CZelString TlsProtocol() const { return CZelString(); }
};
