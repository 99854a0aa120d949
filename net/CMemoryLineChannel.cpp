#include "net/CMemoryLineChannel.h"

#include "foundation/XTOOError.h"

#include <memory>

CMemoryLineChannel::CMemoryLineChannel(std::string script, bool trickle, EAtEnd atEnd)
    : CMemoryLineChannel(
          [rest = std::make_shared<std::string>(std::move(script))](std::string& out) {
              if (rest->empty())
                  return false;
              out += *rest;
              rest->clear();
              return true;
          },
          trickle, atEnd)
{
}

CMemoryLineChannel::CMemoryLineChannel(Source source, bool trickle, EAtEnd atEnd)
    : m_source(std::move(source)), m_trickle(trickle), m_atEnd(atEnd)
{
}

bool CMemoryLineChannel::Refill()
{
    if (m_pendingStart > 0) {
        m_pending.erase(0, m_pendingStart);
        m_pendingStart = 0;
    }
    const size_t before = m_pending.size();
    while (m_pending.size() == before) {
        if (!m_source(m_pending))
            return false;
    }
    return true;
}

CZelString CMemoryLineChannel::ReadLine(int maximum, int timeoutMs)
{
    ++m_reads;
    std::string line;
    const size_t limit = maximum > 0 ? static_cast<size_t>(maximum) : 0;
    while (line.size() < limit && !line.ends_with("\r\n")) {
        if (m_pendingStart >= m_pending.size() && !Refill())
            break;
        // Whole: up to the CR LF or the limit at once. Trickled: one byte per turn.
        const std::string_view rest = std::string_view(m_pending).substr(m_pendingStart);
        size_t take = std::min(rest.size(), limit - line.size());
        const size_t lineEnd = rest.find("\r\n");
        if (line.ends_with('\r') && rest.starts_with('\n'))
            take = 1;
        else if (lineEnd != std::string_view::npos)
            take = std::min(take, lineEnd + 2);
        if (m_trickle)
            take = std::min<size_t>(take, 1);
        line.append(rest.substr(0, take));
        m_pendingStart += take;
    }
    if (line.empty() && m_atEnd == EAtEnd::Close)
        throw XTOOSockClose(CZelString(kSockErrClosedByPeerText));
    return CZelString(line);
}

bool CMemoryLineChannel::Write(const CZelString& bytes, int timeoutMs)
{
    m_writes.push_back(bytes.ToStd());
    return true;
}

void CMemoryLineChannel::OfferTls(std::string failure)
{
    m_tlsOffered = true;
    m_tlsFailure = std::move(failure);
}

bool CMemoryLineChannel::StartTls(int)
{
    if (!CanStartTls())
        return false;
    m_secure = m_tlsFailure.empty();
    return m_secure;
}
