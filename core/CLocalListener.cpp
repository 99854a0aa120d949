#include "core/CLocalListener.h"

#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"

#include <exception>
#include <utility>

void ReportServerFailure(CProtocolListData& log, const CZelString& line)
{
    log.AddStringEx(line, LogKind::Error);
    CZelString text = line;
    text.Replace("\n", "");
    CZelStartServerThread::ReportError(text);
}

CLocalListener::CLocalListener(CZelStartServerThread& self, CProtocolListData& log, CLocalListenerSettings settings,
                               CLocalListenerTexts texts)
    : m_self(self), m_log(log), m_settings(settings), m_texts(std::move(texts))
{
}

bool CLocalListener::Open(int32_t port)
{
    if (port < 1 || port > 65535) {
        ReportServerFailure(m_log, Format(m_texts.badPort, port));
        return false;
    }
    m_port = port;
    const uint32_t address = CZelStartServerThread::ListensOnAnyAddress() ? 0 : m_settings.loopbackAddress;
    CZelString failure;
    try {
        if (m_listener.Listen(address, port))
            return true;
        failure = m_listener.LastError().GetText();
    } catch (const XTOOBaseError& error) {
        failure = error.GetText();
    } catch (const std::exception& error) {
        failure = CZelString(error.what());
    }
    // A program stopped while it starts takes the socket library down under a listen in
    // progress: that is the stop, not a failure the user must hear of.
    if (!m_self.IsStopSignalled())
        ReportServerFailure(m_log, m_texts.listenFailed(failure));
    return false;
}

int CLocalListener::AcceptNext(const std::function<void()>& betweenSlices)
{
    if (m_self.IsStopSignalled())
        return -1;
    m_log.Write(m_texts.accepting, m_port);
    while (!m_self.IsStopSignalled()) {
        try {
            const int handle = m_listener.Accept(m_settings.acceptSliceMs);
            if (handle >= 0)
                return handle;
        } catch (const XTOOBaseError& error) {
            m_texts.acceptFailed(error.GetText());
            if (++m_failures >= m_settings.acceptFailureLimit) {
                ReportServerFailure(m_log, CZelString(m_texts.tooManyAcceptFailures));
                return -1;
            }
        }
        if (betweenSlices)
            betweenSlices();
    }
    return -1;
}

bool CLocalListener::LastPeerIsRemote() const
{
    constexpr uint32_t kLoopbackNet = 127;
    uint32_t address = 0;
    int port = 0;
    m_listener.AcceptedPeer(address, port);
    return (address >> 24) != kLoopbackNet;
}
