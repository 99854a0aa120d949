#include "pop3/CPop3TextFilter.h"

#include "protocol/ZelPop3Texts.h"

CPop3TextFilter::CPop3TextFilter(int64_t bodyLines) : m_bodyLeft(bodyLines) {}

void CPop3TextFilter::Feed(std::string_view input, std::string& out)
{
    if (m_done || input.empty())
        return;
    m_any = true;
    out.reserve(out.size() + input.size() + input.size() / 16 + 2);
    for (const char c : input) {
        if (m_lineStart && c == '.')
            out += '.';
        m_lineStart = false;
        if (c == '\n') {
            if (!m_afterCr)
                out += '\r';
            out += '\n';
            EndLine(out);
            if (m_done)
                return;
            continue;
        }
        // A CR counts as text until we know whether an LF follows it.
        if (m_afterCr)
            ++m_lineBytes;
        out += c;
        m_afterCr = c == '\r';
        if (!m_afterCr)
            ++m_lineBytes;
    }
}

void CPop3TextFilter::EndLine(std::string& out)
{
    const bool blank = m_lineBytes == 0;
    m_lineStart = true;
    m_afterCr = false;
    m_lineBytes = 0;
    if (m_bodyLeft == kWholeText)
        return;
    if (!m_inBody) {
        // The first blank line ends the header; TOP passes it on with the header.
        if (!blank)
            return;
        m_inBody = true;
    } else {
        --m_bodyLeft;
    }
    if (m_bodyLeft <= 0)
        m_done = true;
}

void CPop3TextFilter::Finish(std::string& out)
{
    if (m_done)
        return;
    // An empty text still becomes one (empty) line, as a text without a line end would.
    if (!m_any || !m_lineStart)
        out += m_afterCr ? "\n" : kPop3LineEnd;
    m_done = true;
}
