#include "pop3/CPop3MessageFile.h"

#include "foundation/ZelGlobalLocks.h"
#include "pop3/CPop3TextFilter.h"
#include "protocol/ZelPop3Texts.h"

#include <cctype>

namespace {

constexpr char kReadSharedMode[] = "R|SrSw";

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text)
{
    const size_t start = text.find_first_not_of(kPop3HeaderBlanks);
    if (start == std::string_view::npos)
        return {};
    const size_t end = text.find_last_not_of(kPop3HeaderBlanks);
    return text.substr(start, end - start + 1);
}

} // namespace

CZelString Pop3MessageIdOfHeaderLine(std::string_view line)
{
    const std::string_view name(kPop3MessageIdHeader);
    if (line.size() < name.size() || !EqualsIgnoringCase(line.substr(0, name.size()), name))
        return CZelString();
    std::string_view value = TrimBlanks(line.substr(name.size()));
    if (value.starts_with('<')) {
        value.remove_prefix(1);
        value = value.substr(0, value.find('>'));
    }
    return CZelString(value);
}

bool CPop3MessageFile::Open(const CZelString& path)
{
    CZelLockGuard hold(ZelDataLock(), "CPop3MessageFile::Open()", __LINE__);
    return m_file.Open(path, kReadSharedMode) && CZelFile::IsFile(path);
}

bool CPop3MessageFile::Rewind()
{
    m_failed = false;
    return m_file.Seek(0);
}

bool CPop3MessageFile::ReadPiece()
{
    m_piece.resize(kPop3TextPieceBytes);
    const int64_t count = m_file.Read(m_piece.data(), static_cast<int64_t>(m_piece.size()));
    m_failed = count < 0;
    m_piece.resize(count > 0 ? static_cast<size_t>(count) : 0);
    return count > 0;
}

int64_t CPop3MessageFile::PreparedLength(int64_t bodyLines)
{
    if (!Rewind())
        return -1;
    CPop3TextFilter filter(bodyLines);
    std::string out;
    int64_t length = 0;
    while (!filter.Done() && ReadPiece()) {
        filter.Feed(m_piece, out);
        length += static_cast<int64_t>(out.size());
        out.clear();
    }
    if (m_failed)
        return -1;
    filter.Finish(out);
    return length + static_cast<int64_t>(out.size());
}

CPop3MessageFile::ESend CPop3MessageFile::Send(int64_t bodyLines, std::string_view head, std::string_view tail,
                                               int64_t expectedBytes, const Sink& sink)
{
    if (!Rewind())
        return ESend::Unreadable;
    CPop3TextFilter filter(bodyLines);
    std::string out(head);
    size_t textStart = out.size();
    int64_t textBytes = 0;
    while (!filter.Done() && ReadPiece()) {
        filter.Feed(m_piece, out);
        if (out.size() < static_cast<size_t>(kPop3TextPieceBytes))
            continue;
        textBytes += static_cast<int64_t>(out.size() - textStart);
        if (!sink(out))
            return ESend::Stopped;
        out.clear();
        textStart = 0;
    }
    if (m_failed)
        return ESend::Unreadable;
    filter.Finish(out);
    textBytes += static_cast<int64_t>(out.size() - textStart);
    if (expectedBytes >= 0 && textBytes != expectedBytes)
        return ESend::Unreadable;
    out += tail;
    return sink(out) ? ESend::Sent : ESend::Stopped;
}

CZelString CPop3MessageFile::HeaderMessageId()
{
    if (!Rewind())
        return CZelString();
    // Lines are gathered up to the limit; the rest of an overlong line is skipped.
    std::string line;
    const auto lookAtLine = [&](bool& headerEnded) -> CZelString {
        std::string_view text(line);
        if (text.ends_with('\r'))
            text.remove_suffix(1);
        headerEnded = text.empty();
        return headerEnded ? CZelString() : Pop3MessageIdOfHeaderLine(text);
    };
    while (ReadPiece()) {
        std::string_view rest(m_piece);
        while (!rest.empty()) {
            const size_t lf = rest.find('\n');
            const std::string_view part = rest.substr(0, lf);
            if (line.size() < static_cast<size_t>(kPop3HeaderLineLimit))
                line.append(part.substr(0, kPop3HeaderLineLimit - line.size()));
            if (lf == std::string_view::npos)
                break;
            rest.remove_prefix(lf + 1);
            bool headerEnded = false;
            const CZelString id = lookAtLine(headerEnded);
            if (!id.IsEmpty() || headerEnded)
                return id;
            line.clear();
        }
    }
    bool headerEnded = false;
    return m_failed ? CZelString() : lookAtLine(headerEnded);
}
