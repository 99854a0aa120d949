#pragma once
// A program started by a test as a user would start it: its standard output and error on
// pipes, read line by line with time-outs, signalled, waited for. A child still running when
// the object goes is killed with SIGKILL and reaped, so a failing test leaves no process behind.

#include "foundation/testing/Eventually.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace velmo_testing {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (pipe(out) != 0)
            return;
        if (pipe(err) != 0) {
            close(out[0]), close(out[1]);
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]), close(out[1]), close(err[0]), close(err[1]);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ~ChildProcess()
    {
        Kill();
        if (m_out >= 0)
            close(m_out);
        if (m_err >= 0)
            close(m_err);
    }

    bool Started() const { return m_pid > 0; }
    // The child's process id (its /proc entry while it runs); -1 when it did not start.
    pid_t Pid() const { return m_pid; }
    void Signal(int signal)
    {
        if (Running())
            kill(m_pid, signal);
    }

    // SIGKILL and reap; nothing when the child has already been reaped.
    void Kill()
    {
        if (!Running())
            return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_reaped = true;
    }

    // One line of standard output (without its '\n'), waiting up to `ms`; false at the end of
    // the output or on time-out.
    bool ReadLine(std::string& line, int ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const size_t end = m_outText.find('\n');
            if (end != std::string::npos) {
                line = m_outText.substr(0, end);
                m_outText.erase(0, end + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(m_out, m_outText, static_cast<int>(left.count())))
                return false;
        }
    }

    // Waits up to `ms` (-1: without limit) for the child to end; its wait status, or -1 on
    // time-out.
    int Wait(int ms = -1)
    {
        if (!Started())
            return -1;
        int status = 0;
        if (ms < 0) {
            if (waitpid(m_pid, &status, 0) != m_pid)
                return -1;
        } else if (!Eventually([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; },
                               std::chrono::milliseconds(ms))) {
            return -1;
        }
        m_reaped = true;
        return status;
    }

    // The exit code of a wait status, or 128 + the signal that ended the child (as a shell says).
    static int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

    // What is left of standard output, and everything written to standard error so far.
    std::string RestOfOutput()
    {
        while (ReadSome(m_out, m_outText, 1000)) {}
        return m_outText;
    }
    std::string Errors()
    {
        while (ReadSome(m_err, m_errText, 1000)) {}
        return m_errText;
    }

    // Runs `program` to its end; true when it exited 0. `output` gets what it wrote to standard
    // output, then to standard error. For short helper programs: their output must fit the pipes.
    static bool RunToEnd(const std::string& program, const std::vector<std::string>& args, std::string& output)
    {
        ChildProcess child(program, args);
        const int status = child.Wait();
        output = child.RestOfOutput() + child.Errors();
        return status != -1 && ExitCode(status) == 0;
    }

private:
    bool Running() const { return m_pid > 0 && !m_reaped; }

    static bool ReadSome(int fd, std::string& into, int ms)
    {
        if (fd < 0)
            return false;
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, ms) <= 0)
            return false;
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        into.append(buffer, static_cast<size_t>(got));
        return true;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_out = -1;
    int m_err = -1;
    std::string m_outText;
    std::string m_errText;
};

} // namespace velmo_testing
