#pragma once
// CZelStartServerThread: the thread that carries one of the four long-running services. Its
// mode picks the body: 1 the local SMTP server, 2 the local POP3 server (both on `port`),
// 3 the outbox upload loop, 4 the inbox download loop. The bodies belong to the mail code
// above this library, which installs them with SetBody; until it does, a body only waits for
// its stop request.

#include "foundation/CZelString.h"
#include "foundation/CZelThread.h"

#include <atomic>
#include <cstdint>
#include <functional>

class CZelStartServerThread : public CZelThread {
public:
    static constexpr int32_t kModeSmtpServer = 1;
    static constexpr int32_t kModePop3Server = 2;
    static constexpr int32_t kModeSmtpTransfers = 3;
    static constexpr int32_t kModePop3Transfers = 4;

    static constexpr int32_t kResultRunning = -1;  // also before the start
    static constexpr int32_t kResultFailed = 0;    // an error escaped the body, or no such mode
    static constexpr int32_t kResultDone = 1;      // the body returned

    CZelStartServerThread(int32_t mode, int32_t port);
    ~CZelStartServerThread() override;

    int Run() override;

    int32_t Mode() const noexcept { return m_mode; }
    int32_t Port() const noexcept { return m_port; }
    int32_t Result() const noexcept { return m_result.load(); }

    // The body of a mode. It gets the thread so that it can wait on the thread's stop event;
    // an error thrown out of it ends the service with result 0 (eExitThread counts as a
    // normal end). An empty body restores the one that only waits.
    using Body = std::function<void(CZelStartServerThread& self)>;
    static void SetBody(int32_t mode, Body body);
    static bool IsKnownMode(int32_t mode) noexcept;

    // The two servers listen on 127.0.0.1 unless the user asked for every address.
    static void SetListenOnAnyAddress(bool any) noexcept;
    static bool ListensOnAnyAddress() noexcept;

    // A failure the user must see even without a window (a server that cannot listen): the
    // body writes it to its log and hands it here; a headless run prints it on standard error.
    using ErrorSink = std::function<void(const CZelString& text)>;
    static void SetErrorSink(ErrorSink sink);
    static void ReportError(const CZelString& text);

private:
    static Body BodyOf(int32_t mode);

    const int32_t m_mode;
    const int32_t m_port;
    std::atomic<int32_t> m_result{kResultRunning};
};
