#pragma once
// CLocalListener: the listening half of a local mail server thread. Checks the port, listens
// on 127.0.0.1 (every address when the user asked for it) and hands out the accepted
// connections until the thread is told to stop or accepting has failed too often. What it
// writes to the log comes in the server's own words (CLocalListenerTexts).
//
// ReportServerFailure: a failure the user must see, to the log and, without a window, to
// standard error.

#include "foundation/CZelString.h"
#include "net/CZelTcpFile.h"

#include <cstdint>
#include <functional>

class CProtocolListData;
class CZelStartServerThread;

struct CLocalListenerTexts {
    const char* badPort;                 // "%d": the port outside 1-65535
    const char* accepting;               // "%d": the port, before each wait for a connection
    const char* tooManyAcceptFailures;   // the line that ends the server
    // The line that says listening failed, of the failure's text.
    std::function<CZelString(const CZelString& failure)> listenFailed;
    // Logs one accept that failed, of the error's text.
    std::function<void(const CZelString& failure)> acceptFailed;
};

struct CLocalListenerSettings {
    uint32_t loopbackAddress;
    int acceptSliceMs;       // how often a wait for a connection looks at the stop request
    int acceptFailureLimit;  // accept failures over the server's life that end it
};

class CLocalListener {
public:
    CLocalListener(CZelStartServerThread& self, CProtocolListData& log, CLocalListenerSettings settings,
                   CLocalListenerTexts texts);
    CLocalListener(const CLocalListener&) = delete;
    CLocalListener& operator=(const CLocalListener&) = delete;

    // False, with the failure reported, when the port is out of range or cannot be listened
    // on; a listen that a stop request broke is not reported.
    bool Open(int32_t port);

    // The next connection's socket; -1 when the server is to end (stop request, too many
    // failures). `betweenSlices` runs each time a slice of the wait passes without one.
    int AcceptNext(const std::function<void()>& betweenSlices = {});

    void Close() { m_listener.Close(); }

    // The last accepted client is not on this machine: its address is outside 127.0.0.0/8.
    bool LastPeerIsRemote() const;

private:
    CZelStartServerThread& m_self;
    CProtocolListData& m_log;
    const CLocalListenerSettings m_settings;
    const CLocalListenerTexts m_texts;
    CZelTcpFile m_listener{EErrorMode::Throw};
    int32_t m_port = 0;
    int m_failures = 0;
};

void ReportServerFailure(CProtocolListData& log, const CZelString& line);
