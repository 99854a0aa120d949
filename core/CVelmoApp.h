#pragma once
// CVelmoApp: the gateway's start-up and orderly end. Run performs, in order: enter the working
// folder, load the translations, start the socket library, load the configuration, handle
// "/firststart" and "/convert", start the four services, announce the start, wait for the
// stop request (or run the window until it closes), stop the services, stop the socket
// library and unload the translations.
//
// The socket library and the window live in libraries above this one; their calls are handed
// in as hooks, so this sequence runs (and is tested) without them.

#include "foundation/CZelString.h"

#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

class CVelmoApp {
public:
    static constexpr const char* kStartedText = "Velmo is started";
    static constexpr const char* kErrorCaption = "Error";
    static constexpr const char* kHomeVariable = "VELMO_HOME";
    static constexpr const char* kTextSource = "VelmoDlg.cpp";  // where the window shows its texts
    static constexpr const char* kSmtpLogPrefix = "[SMTP] ";
    static constexpr const char* kPop3LogPrefix = "[POP3] ";
    // In the home: the lock file through which every velmo on that home shares the data lock.
    static constexpr const char* kDataLockFileName = "velmo.lock";

    struct Options {
        CZelString home;                  // the working folder, already resolved
        bool headless = true;
        bool listenAny = false;           // servers on every address instead of 127.0.0.1
        std::vector<std::string> words;   // the command line's words, for the switches
    };

    struct Hooks {
        std::function<void()> socketsStart;       // throws an XTOOError on failure
        std::function<void()> stopSocketThread;   // between the stop signal and the waits
        std::function<void()> socketsStop;
        // The window: runs until it closes (it starts and stops the services itself through
        // StartServices / StopServices). Empty, or a headless run, waits for RequestStop.
        std::function<int(CVelmoApp&)> runWindow;
    };

    CVelmoApp(Options options, Hooks hooks);
    CVelmoApp(const CVelmoApp&) = delete;
    CVelmoApp& operator=(const CVelmoApp&) = delete;

    // The whole life of the gateway; the process's exit code.
    int Run(std::ostream& out, std::ostream& err);

    // Ends a headless run; safe from any thread, also before Run waits.
    void RequestStop();
    bool StopRequested() const;

    // What the window's initialisation and destruction call.
    void StartServices();
    void StopServices();

    // --home DIR, else VELMO_HOME, else the executable's folder.
    static CZelString ResolveHome(const std::string& homeOption);
    static CZelString ExecutablePath();
    // Makes `home` the working folder, creating it (0700) when missing, and shares the data
    // lock with every other velmo on it; false with the reason when it cannot be used.
    static bool EnterHome(const CZelString& home, CZelString* error);
    // True when no display is there to show a window on.
    static bool DisplayMissing();

private:
    void HandleSwitches();
    // Loads (on the first start: makes) the local servers' TLS pair; without one they serve
    // in the clear and the user is told why.
    void InstallLocalTls(std::ostream& err);
    void WaitForStop();
    void LoadTranslations(std::ostream& err);
    void AnnounceStart(std::ostream& out);
    void WireHeadlessOutput(std::ostream& out, std::ostream& err);
    void UnwireHeadlessOutput();

    Options m_options;
    Hooks m_hooks;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopRequested = false;
    bool m_changesPending = false;
};
