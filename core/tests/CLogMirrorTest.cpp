// The headless log mirror with a reader that does not read: the data lock stays free.

#include "core/CLogMirror.h"
#include "core/CProtocolListData.h"
#include "foundation/CZelWin32Locker.h"
#include "foundation/ZelGlobalLocks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto kBound = std::chrono::seconds(10);

// A stream on a pipe's write end that tells when a write to the pipe begins.
class PipeBuffer : public std::streambuf {
public:
    explicit PipeBuffer(int fd) : m_fd(fd) {}

    bool WaitForWriter()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_entered.wait_for(hold, kBound, [this] { return m_writing; });
    }

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_writing = true;
        }
        m_entered.notify_all();
        std::streamsize done = 0;
        while (done < count) {
            const ssize_t n = ::write(m_fd, bytes + done, static_cast<size_t>(count - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        return done;
    }
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }

private:
    int m_fd;
    std::mutex m_lock;
    std::condition_variable m_entered;
    bool m_writing = false;
};

// Fills the pipe so that the next write blocks.
void Fill(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const std::string chunk(4096, 'f');
    while (::write(fd, chunk.data(), chunk.size()) > 0) {}
    fcntl(fd, F_SETFL, flags);
}

TEST(CLogMirror, AStalledReaderNeverHoldsTheDataLock)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    Fill(ends[1]);
    PipeBuffer buffer(ends[1]);
    std::ostream out(&buffer);
    CProtocolListData log;
    log.MirrorTo(&out, "[SMTP] ");

    std::thread stalled([&] { log.AddStringEx("stalled line\n"); });
    ASSERT_TRUE(buffer.WaitForWriter());

    // Another writer takes the lock and adds its line while the first one waits on the pipe.
    auto other = std::async(std::launch::async, [&] {
        const int taken = ZelDataLock().Lock(static_cast<int>(std::chrono::milliseconds(kBound).count()));
        if (taken == kZelWaitAcquired)
            ZelDataLock().UnLock();
        log.AddStringEx("another line\n");
        return taken;
    });
    const bool done = other.wait_for(kBound) == std::future_status::ready;
    EXPECT_TRUE(done) << "a writer waited for the stalled output";

    // Read the pipe again: both lines come out, in the order the log got them.
    std::string received;
    while (received.find("another line\n") == std::string::npos) {
        char bytes[65536];
        const ssize_t n = ::read(ends[0], bytes, sizeof bytes);
        if (n <= 0)
            break;
        received.append(bytes, static_cast<size_t>(n));
    }
    stalled.join();
    if (done) {
        EXPECT_EQ(other.get(), kZelWaitAcquired);
    }
    const size_t first = received.find("[SMTP] stalled line\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(received.find("[SMTP] another line\n"), first + std::string("[SMTP] stalled line\n").size());
    log.MirrorTo(nullptr, "");
    close(ends[0]);
    close(ends[1]);
}

TEST(CLogMirror, LinesWrittenNowFollowTheQueuedOnes)
{
    std::ostringstream out;
    {
        CZelLockGuard held(ZelDataLock(), "LinesWrittenNow", __LINE__);
        CLogMirror::Global().Queue(out, "[POP3] queued");
        CLogMirror::Global().Flush();   // the lock is held: the line waits
        EXPECT_EQ(out.str(), "");
    }
    CLogMirror::Global().WriteNow(out, "Velmo is started");
    EXPECT_EQ(out.str(), "[POP3] queued\nVelmo is started\n");
}

// A stream whose first write waits until the test lets it go, and that keeps what it got.
class GateBuffer : public std::streambuf {
public:
    bool WaitForWriter()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, kBound, [this] { return m_entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_open = true;
        m_changed.notify_all();
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_text;
    }

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override
    {
        std::unique_lock<std::mutex> hold(m_lock);
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait_for(hold, kBound, [this] { return m_open; });
        m_text.append(bytes, static_cast<size_t>(count));
        return count;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_entered = false;
    bool m_open = false;
    std::string m_text;
};

TEST(CLogMirror, ALineQueuedWhileTheStartLineIsWrittenIsNotLeftBehind)
{
    GateBuffer gate;
    std::ostream out(&gate);
    std::thread starter([&] { CLogMirror::Global().WriteNow(out, "Velmo is started"); });
    ASSERT_TRUE(gate.WaitForWriter());
    // The server thread's line meets a busy writer and leaves the line to it.
    CLogMirror::Global().Queue(out, "[SMTP] Accepting connection to a port 2525...");
    CLogMirror::Global().Flush();
    gate.Open();
    starter.join();
    EXPECT_EQ(gate.Text(), "Velmo is started\n[SMTP] Accepting connection to a port 2525...\n");
}

} // namespace
