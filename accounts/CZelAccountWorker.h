#pragma once
// CZelAccountWorker: what the account workers (key generation, registration and update,
// contact list changes) share: a status text that the account commands poll and print, and
// a result that stays -1 until the run has succeeded.
//
// The status text is read and written under the string library's process-wide lock. A
// listener, set before the start, also hears every text as it is set (the headless commands
// print them), called on the worker's thread without any lock held.

#include "foundation/CZelString.h"
#include "foundation/CZelThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

class CZelTcpFile;

class CZelAccountWorker : public CZelThread {
public:
    using StatusListener = std::function<void(const CZelString& text)>;

    // A stop is answered within this bound: the run's connection is closed at once and the
    // key generation looks at the stop between rounds.
    static constexpr int kStopWaitMs = 10000;
    static constexpr char kSocketError[] = "error: %1";
    static constexpr char kUnknownError[] = "unknown error";

    // Signals the stop, closes the connection the run waits on, then waits up to `ms`.
    bool StopAndWait(int ms) override;

    CZelString Status() const;
    int64_t Result() const { return m_result.load(); }
    void SetStatusListener(StatusListener listener) { m_listener = std::move(listener); }

protected:
    // While it lives, a stop closes `connection` (the run's connection to the central server).
    class CWatchedConnection {
    public:
        CWatchedConnection(CZelAccountWorker& worker, CZelTcpFile& connection);
        ~CWatchedConnection();
        CWatchedConnection(const CWatchedConnection&) = delete;
        CWatchedConnection& operator=(const CWatchedConnection&) = delete;

    private:
        CZelAccountWorker& m_worker;
    };

    // For the subclass's destructor: stops the run and waits for its end, past the stop bound
    // if need be, since the run uses the subclass's members until it returns.
    void EndRun();

    void SetStatus(const CZelString& text);
    // The text through the translation table.
    void SetStatusTr(const char* text, const char* sourceFile);
    void SetResult(int64_t result) { m_result.store(result); }

    // Runs one conversation with the central server and stores its result. A connection error
    // ends it with "error: %1" (the error's text), anything else thrown with "unknown error",
    // both translated as texts of `sourceFile`, and the result -1.
    int64_t RunGuarded(const std::function<int64_t()>& run, const char* sourceFile);
    // A status sink for a server run that shows its progress texts translated as texts of
    // `sourceFile`.
    std::function<void(const char* text)> StatusSinkTr(const char* sourceFile);

private:
    CZelString m_status;
    std::atomic<int64_t> m_result{-1};
    StatusListener m_listener;
    std::mutex m_watchLock;
    CZelTcpFile* m_watched = nullptr;
};
