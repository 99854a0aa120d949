#include "foundation/XTOOError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <string>

struct XTOOBaseError::Body {
    CZelString text;
    int code = 0;
    const void* socket = nullptr;
};

namespace {

int CurrentOr(int code, int savedErrno)
{
    return code == -1 ? savedErrno : code;
}

std::string Printf(const char* format, int value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// The runtime's message for an error number, null when it has none.
const char* ErrnoDescription(int errnum)
{
    return strerrordesc_np(errnum);
}

// "<text> <message>", or the message alone without a text.
CZelString JoinTextAndMessage(const CZelString& text, const std::string& message)
{
    if (text.IsEmpty())
        return CZelString(message);
    return text + " " + CZelString(message);
}

} // namespace

void ThrowMemoryAllocationError()
{
    throw XTOOMemoryAllocationError();
}

// ---- XTOOBaseError ----

const char* XTOOBaseError::Text() const noexcept
{
    return m_body ? m_body->text.Ptr() : "";
}

CZelString XTOOBaseError::GetText() const noexcept
{
    return m_body ? m_body->text : CZelString();
}

int XTOOBaseError::Code() const noexcept
{
    return m_body ? m_body->code : 0;
}

const void* XTOOBaseError::Socket() const noexcept
{
    return m_body ? m_body->socket : nullptr;
}

std::shared_ptr<const XTOOBaseError::Body> XTOOBaseError::MakeBody(const CZelString& text, int code,
                                                                   const void* socket)
{
    auto body = std::make_shared<Body>();
    body->text = text;
    body->code = code;
    body->socket = socket;
    return body;
}

// ---- XTOOError, XTOOErrMsg ----

XTOOError::XTOOError(const CZelString& text, int code) : XTOOBaseError(MakeBody(text, code)) {}

XTOOErrMsg::XTOOErrMsg(const CZelString& text, int code) : XTOOError(text, code) {}

// ---- XTOOErrno ----

namespace {

CZelString ErrnoMessage(const CZelString& text, int errnum)
{
    if (errnum == 0 && text.IsEmpty())
        return CZelString();
    const char* description = ErrnoDescription(errnum);
    return JoinTextAndMessage(text, description ? std::string(description) : Printf("errno = %d", errnum));
}

CZelString LastErrorMessage(const CZelString& text, int code)
{
    if (code == 0 && text.IsEmpty())
        return CZelString();
    const char* description = ErrnoDescription(code);
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "Error code=%d (%s)", code, description ? description : "Unknown error");
    return JoinTextAndMessage(text, buffer);
}

} // namespace

XTOOErrno::XTOOErrno(const CZelString& text, int errnum)
{
    const int saved = errno;
    const int code = CurrentOr(errnum, saved);
    static_cast<XTOOError&>(*this) = XTOOError(ErrnoMessage(text, code), code);
}

// ---- XTOOLastError ----

XTOOLastError::XTOOLastError(const CZelString& text, int code)
{
    const int saved = errno;
    const int resolved = CurrentOr(code, saved);
    static_cast<XTOOError&>(*this) = XTOOError(LastErrorMessage(text, resolved), resolved);
}

XTOOLastError XTOOLastError::WithMessage(const CZelString& message, int code)
{
    return XTOOLastError(MakeBody(message, code));
}

// ---- XTOOWsaErr ----

CZelString XTOOWsaErr::Message(int code)
{
    if (code == 0)
        return CZelString();
    if (code == kSockErrClosedByPeer)
        return CZelString(kSockErrClosedByPeerText);
    const char* description = ErrnoDescription(code);
    if (!description)
        return CZelString(Printf("Winsock error %d", code));
    const char* name = strerrorname_np(code);
    if (!name)
        return CZelString(description);
    return CZelString(std::string(name) + " - " + description);
}

XTOOWsaErr::XTOOWsaErr(int code)
{
    const int saved = errno;
    const int resolved = CurrentOr(code, saved);
    static_cast<XTOOError&>(*this) = XTOOError(Message(resolved), resolved);
}

// ---- XTOOSockErr ----

namespace {

// "<name>:<text> " or "<text> " in front of the socket message; no dangling space when the
// code has no message.
CZelString SocketPrefix(const CZelString& text, const CZelString& socketName)
{
    return socketName.IsEmpty() ? text : socketName + ":" + text;
}

CZelString SocketMessage(const CZelString& text, const CZelString& socketName, const CZelString& message)
{
    CZelString prefix = SocketPrefix(text, socketName);
    if (message.IsEmpty())
        return prefix;
    return prefix + " " + message;
}

} // namespace

XTOOSockErr::XTOOSockErr(const CZelString& text, const void* socket, const CZelString& socketName, int code)
{
    const int saved = errno;
    const int resolved = CurrentOr(code, saved);
    static_cast<XTOOBaseError&>(*this) =
        XTOOSockErr(MakeBody(SocketMessage(text, socketName, XTOOWsaErr::Message(resolved)), resolved, socket));
}

XTOOSockErr XTOOSockErr::WithMessage(const CZelString& message, int code, const void* socket)
{
    return XTOOSockErr(MakeBody(message, code, socket));
}

// ---- XTOOSockDnsErr ----

XTOOSockDnsErr::XTOOSockDnsErr(const CZelString& text, const CZelString& socketName, int code)
    : XTOOSockErr(text, nullptr, socketName, CurrentOr(code, errno))
{
}

XTOOSockDnsErr XTOOSockDnsErr::FromResolverCode(const CZelString& text, const CZelString& socketName,
                                                int eaiCode)
{
    const char* description = gai_strerror(eaiCode);
    CZelString message = description ? CZelString(description) : CZelString(Printf("Resolver error %d", eaiCode));
    return XTOOSockDnsErr(MakeBody(SocketMessage(text, socketName, message), eaiCode));
}

// ---- XTOOBareText, XTOOMemoryAllocationError ----

XTOOBareText::XTOOBareText(const CZelString& text) : XTOOError(MakeBody(text, 0)) {}

XTOOMemoryAllocationError::XTOOMemoryAllocationError()
    : XTOOBareText([] {
          static const std::shared_ptr<const Body> shared = MakeBody(CZelString(kMemoryAllocationError), 0);
          return shared;
      }())
{
}

// ---- XTOOSockClose ----

XTOOSockClose::XTOOSockClose(const CZelString& text, const void* socket)
    : XTOOError(MakeBody(text, kSockErrClosedByPeer, socket))
{
}
