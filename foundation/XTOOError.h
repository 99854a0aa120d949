#pragma once
// The error family of the foundation library. Every error is a small handle on a shared,
// immutable body whose text is built once, when the error is made, from the failing step and
// the platform's error code; copies share the body, so throwing by value and catching by
// reference is cheap. Catch `XTOOError` (or `XTOOBaseError`) to get any of them.
//
// Error codes on this platform are errno values. Socket errors are named by their errno
// constant ("ECONNRESET - Connection reset by peer"); the pseudo code 9999 means the peer
// closed the connection.
//
// Low-level steps that have nothing but a fixed description to give (the big-integer
// arithmetic, an allocation that failed) throw an XTOOBareText: its message is exactly that
// text. Nothing else is thrown as a plain `const char*`; the one thrown object outside the
// family is `eExitThread`, the request to leave a thread, which deliberately derives from
// nothing so that no catch-all of the family swallows it.
//
// Calls that can either return a status or throw take an EErrorMode.

#include "foundation/CZelString.h"

#include <exception>
#include <memory>

// The peer closed the connection (not an errno value).
inline constexpr int kSockErrClosedByPeer = 9999;
inline constexpr const char kSockErrClosedByPeerText[] = "Connection is closed by remote host";
inline constexpr const char kMemoryAllocationError[] = "Memory allocation error";

// How a call that can fail reports it: by its result only (false, -1, an empty text, with the
// error kept for the caller to read), or by also throwing the error.
enum class EErrorMode { ReturnCodes, Throw };
// The older spelling as a flag (0/false = return codes, anything else = throw).
constexpr EErrorMode ErrorModeFromFlag(int throwFlag)
{
    return throwFlag ? EErrorMode::Throw : EErrorMode::ReturnCodes;
}

// Throws XTOOMemoryAllocationError ("Memory allocation error").
[[noreturn]] void ThrowMemoryAllocationError();

// Root of the handles. An empty handle (no error recorded) has an empty text and code 0.
class XTOOBaseError : public std::exception {
public:
    XTOOBaseError() noexcept = default;

    const char* Text() const noexcept;              // never null
    CZelString GetText() const noexcept;
    int Code() const noexcept;                      // the errno value (or 9999), 0 when none
    const void* Socket() const noexcept;            // the socket concerned, if any
    bool IsSet() const noexcept { return m_body != nullptr; }
    void Clear() noexcept { m_body.reset(); }

    const char* what() const noexcept override { return Text(); }

protected:
    struct Body;
    explicit XTOOBaseError(std::shared_ptr<const Body> body) noexcept : m_body(std::move(body)) {}
    static std::shared_ptr<const Body> MakeBody(const CZelString& text, int code,
                                                const void* socket = nullptr);
    const std::shared_ptr<const Body>& GetBody() const noexcept { return m_body; }

private:
    std::shared_ptr<const Body> m_body;
};

// The catch-all type of the family; also any body (a copy of any other error).
class XTOOError : public XTOOBaseError {
public:
    XTOOError() noexcept = default;
    // An error with exactly this text and code (no platform message is added).
    XTOOError(const CZelString& text, int code);

protected:
    using XTOOBaseError::XTOOBaseError;
};

// An error whose message is the given text.
class XTOOErrMsg : public XTOOError {
public:
    explicit XTOOErrMsg(const CZelString& text, int code = 0);
};

// The runtime's error number (the current errno when -1): "<text> <strerror>", or only the
// message without a text, or "errno = %d" when the number has no message; number 0 without a
// text gives an empty message.
class XTOOErrno : public XTOOError {
public:
    explicit XTOOErrno(const CZelString& text = CZelString(), int errnum = -1);
};

// A platform error code (the current errno when -1): "<text> Error code=%d (%s)"; without a
// text only "Error code=%d (%s)"; code 0 without a text gives an empty message.
class XTOOLastError : public XTOOError {
public:
    explicit XTOOLastError(const CZelString& text = CZelString(), int code = -1);
    // An error with exactly this message (states such as "Bad implementation").
    static XTOOLastError WithMessage(const CZelString& message, int code = 0);

private:
    using XTOOError::XTOOError;
};

// A socket error code (the current errno when -1): "ECONNRESET - Connection reset by peer";
// 9999 gives "Connection is closed by remote host"; code 0 an empty message.
class XTOOWsaErr : public XTOOError {
public:
    explicit XTOOWsaErr(int code = -1);
    // The message form alone, for callers that compose their own text.
    static CZelString Message(int code);
};

// A failing socket step: "<socket name>:<text> <socket message>", or "<text> <socket message>"
// when the socket has no name. `socket` is only recorded, never dereferenced.
class XTOOSockErr : public XTOOError {
public:
    XTOOSockErr(const CZelString& text, const void* socket, const CZelString& socketName,
                int code = -1);
    // An error with exactly this message (for re-throwing with a stage prefix).
    static XTOOSockErr WithMessage(const CZelString& message, int code = 0,
                                   const void* socket = nullptr);

protected:
    using XTOOError::XTOOError;
};

// A failed host-name lookup: as XTOOSockErr with the current errno, or with a resolver
// (getaddrinfo EAI_*) code given through FromResolverCode.
class XTOOSockDnsErr : public XTOOSockErr {
public:
    XTOOSockDnsErr(const CZelString& text, const CZelString& socketName, int code = -1);
    static XTOOSockDnsErr FromResolverCode(const CZelString& text, const CZelString& socketName,
                                           int eaiCode);

private:
    using XTOOSockErr::XTOOSockErr;
};

// A fixed text and nothing else (code 0). Socket threads tell it apart from other errors in
// their exit code.
class XTOOBareText : public XTOOError {
public:
    explicit XTOOBareText(const CZelString& text);

protected:
    using XTOOError::XTOOError;
};

// Memory for a container, record or socket structure could not be had. All of them share one
// body made on first use, so throwing it needs no further memory.
class XTOOMemoryAllocationError : public XTOOBareText {
public:
    XTOOMemoryAllocationError();
};

// The connection was closed; socket loops catch it apart from XTOOSockErr.
class XTOOSockClose : public XTOOError {
public:
    explicit XTOOSockClose(const CZelString& text = CZelString("Connection is closed"),
                           const void* socket = nullptr);
};

// Not an error: the request to leave a (socket) thread.
struct eExitThread {};
