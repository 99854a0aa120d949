#include "core/CProtocolListData.h"

#include "core/CLogMirror.h"
#include "core/CTranslations.h"
#include "core/LogColours.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelWin32Locker.h"
#include "foundation/ZelDateTime.h"
#include "foundation/ZelGlobalLocks.h"

#include <ctime>
#include <deque>
#include <ostream>
#include <string_view>
#include <utility>

namespace {

constexpr char kThisFile[] = "CProtocolListData.cpp";
constexpr char kAddLabel[] = "CProtocolListData::AddStringEx()";
constexpr char kFindLabel[] = "CProtocolListData::Find()";
constexpr char kReadLabel[] = "CProtocolListData::Read()";
constexpr char kSaveLabel[] = "CProtocolPage::OnNMRclickList()";
constexpr char kCopyLabel[] = "CProtocolPage::OnNMRclickList() - 2";
constexpr char kSaveFileNameText[] = "Protocol %1 %2.txt";
constexpr char kSaveLineFormat[] = "%S %S #%08X #%08X %S\r\n";

CZelString UpToLineEnd(const CZelString& text)
{
    const std::string_view view = text.View();
    const size_t end = view.find_first_of("\r\n");
    return end == std::string_view::npos ? text : text.Left(static_cast<int32_t>(end));
}

} // namespace

// Line numbers are consecutive, so the held lines sit in a deque indexed by
// (number - first number): finding, appending and dropping cost the same at any size.
struct CProtocolListData::Lines {
    std::deque<CProtocolLine> held;
};

CProtocolListData::CProtocolListData(LogName name) : m_name(name), m_lines(std::make_unique<Lines>()) {}

CProtocolListData::~CProtocolListData() = default;

CProtocolLine* CProtocolListData::Last()
{
    return m_lines->held.empty() ? nullptr : &m_lines->held.back();
}

void CProtocolListData::Notify(const CProtocolChange& change, const DroppedTexts& dropped)
{
    if (change.changedLines.empty() && change.removedFromFront == 0)
        return;
    // Called under the data lock, so observers see the changes of all writers in order.
    if (m_listener)
        m_listener(change);
    if (m_sink) {
        for (int64_t number : change.changedLines) {
            CProtocolLine line;
            if (LineByNumber(number, &line)) {
                m_sink(number, line.text);
            } else if (!dropped.empty() && number >= dropped.front().first) {
                // A write of more lines than the log holds still mirrors every one of them;
                // the lines dropped by one write have consecutive numbers.
                const size_t index = static_cast<size_t>(number - dropped.front().first);
                if (index < dropped.size())
                    m_sink(number, dropped[index].second);
            }
        }
    }
}

CZelString CProtocolListData::TranslateText(const char* text, const char* sourceFile) const
{
    return Translate(text, sourceFile);
}

int64_t CProtocolListData::AddStringEx(const CZelString& text)
{
    return AddStringEx(text, LogKind::Plain);
}

int64_t CProtocolListData::AddStringEx(const CZelString& text, LogKind kind)
{
    const int64_t result = AddLocked(text, kind);
    CLogMirror::Global().Flush();
    return result;
}

int64_t CProtocolListData::AddLocked(const CZelString& text, LogKind kind)
{
    CZelLockGuard guard(ZelDataLock(), kAddLabel, __LINE__);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    CProtocolChange change;
    DroppedTexts dropped;
    int64_t result = -1;
    auto touched = [&](int64_t number) {
        result = number;
        if (change.changedLines.empty() || change.changedLines.back() != number)
            change.changedLines.push_back(number);
    };

    const std::string_view view = text.View();
    size_t position = 0;
    try {
        while (position < view.size()) {
            const size_t end = view.find_first_of("\r\n", position);
            const bool endOfText = end == std::string_view::npos;
            const size_t stop = endOfText ? view.size() : end;
            const CZelString segment = text.Mid(static_cast<int32_t>(position), static_cast<int32_t>(stop - position));

            // CR LF ends a line like LF: the text before it is kept, not dropped as before a
            // lone CR (the progress form "\r%s" still rewrites the open line).
            const bool crLf = !endOfText && view[end] == '\r' && end + 1 < view.size() && view[end + 1] == '\n';
            if (!endOfText && view[end] == '\r' && !crLf) {
                CProtocolLine* last = Last();
                if (!m_lastComplete && last) {
                    last->text = CZelString();
                    last->time = now;
                    last->kind = kind;
                    touched(m_nextLine - 1);
                }
            } else {
                CProtocolLine* last = Last();
                if (m_lastComplete || !last) {
                    CProtocolLine line;
                    line.time = now;
                    line.text = segment;
                    line.kind = kind;
                    const bool followSelection = m_selected >= 0 && m_selected == m_nextLine - 1;
                    m_lines->held.push_back(std::move(line));
                    ++change.appended;
                    if (followSelection)
                        m_selected = m_nextLine;
                    touched(m_nextLine++);
                    if (static_cast<int>(m_lines->held.size()) >= kCapacity) {
                        if (m_sink && !change.changedLines.empty() && m_firstLine >= change.changedLines.front())
                            dropped.emplace_back(m_firstLine, m_lines->held.front().text);
                        m_lines->held.pop_front();
                        ++change.removedFromFront;
                        if (m_selected == m_firstLine)
                            m_selected = m_firstLine + 1;
                        ++m_firstLine;
                    }
                } else {
                    last->text += segment;
                    last->kind = kind;
                    touched(m_nextLine - 1);
                }
                m_lastComplete = !endOfText;
            }
            if (endOfText)
                break;
            position = end + (crLf ? 2 : 1);
        }
    } catch (...) {
        // Out of memory: the log keeps what was done before the failing segment.
    }
    Notify(change, dropped);
    return result;
}

int64_t CProtocolListData::RewriteLineText(int64_t line, const CZelString& text, LogKind kind)
{
    {
        CZelLockGuard guard(ZelDataLock(), kAddLabel, __LINE__);
        if (line < m_firstLine || line >= m_nextLine)
            return line;
        try {
            CProtocolLine& held = m_lines->held[static_cast<size_t>(line - m_firstLine)];
            held.text = UpToLineEnd(text);
            held.kind = kind;
        } catch (...) {
            return line;
        }
        CProtocolChange change;
        change.changedLines.push_back(line);
        Notify(change, {});
    }
    CLogMirror::Global().Flush();
    return line;
}

void CProtocolListData::Clear()
{
    CZelLockGuard guard(ZelDataLock(), kAddLabel, __LINE__);
    CProtocolChange change;
    change.removedFromFront = static_cast<int>(m_lines->held.size());
    m_lines->held.clear();
    m_firstLine = m_nextLine;
    m_lastComplete = true;
    m_selected = -1;
    Notify(change, {});
}

int CProtocolListData::Count() const
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    return static_cast<int>(m_lines->held.size());
}

int64_t CProtocolListData::FirstLineNumber() const
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    return m_firstLine;
}

bool CProtocolListData::LineAt(int index, CProtocolLine* line) const
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    if (index < 0 || index >= static_cast<int>(m_lines->held.size()))
        return false;
    if (line)
        *line = m_lines->held[static_cast<size_t>(index)];
    return true;
}

bool CProtocolListData::LineByNumber(int64_t number, CProtocolLine* line) const
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    if (number < m_firstLine || number >= m_nextLine)
        return false;
    if (line)
        *line = m_lines->held[static_cast<size_t>(number - m_firstLine)];
    return true;
}

void CProtocolListData::Lock(const char* source, int line) const
{
    ZelDataLock().Lock(source, line);
}

void CProtocolListData::UnLock(const char* source, int line) const
{
    ZelDataLock().UnLock(source, line);
}

int64_t CProtocolListData::SelectedLine() const
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    return m_selected;
}

void CProtocolListData::SetSelectedLine(int64_t line)
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    m_selected = (line >= m_firstLine && line < m_nextLine) ? line : -1;
}

void CProtocolListData::SetSearchText(const CZelString& text)
{
    CZelLockGuard guard(ZelDataLock(), kFindLabel, __LINE__);
    m_searchText = text;
}

CZelString CProtocolListData::SearchText() const
{
    CZelLockGuard guard(ZelDataLock(), kFindLabel, __LINE__);
    return m_searchText;
}

int CProtocolListData::Find(bool up, int startOffset)
{
    CZelLockGuard guard(ZelDataLock(), kFindLabel, __LINE__);
    const int64_t count = static_cast<int64_t>(m_lines->held.size());
    if (m_searchText.IsEmpty() || count == 0)
        return 0;
    int64_t start;
    if (m_selected >= m_firstLine && m_selected < m_nextLine)
        start = m_selected - m_firstLine + startOffset;
    else
        start = up ? count - 1 : 0;
    const std::string_view wanted = m_searchText.View();
    if (up) {
        for (int64_t i = start < count - 1 ? start : count - 1; i >= 0; --i)
            if (m_lines->held[static_cast<size_t>(i)].text.View().find(wanted) != std::string_view::npos) {
                m_selected = m_firstLine + i;
                return 1;
            }
    } else {
        for (int64_t i = start > 0 ? start : 0; i < count; ++i)
            if (m_lines->held[static_cast<size_t>(i)].text.View().find(wanted) != std::string_view::npos) {
                m_selected = m_firstLine + i;
                return 1;
            }
    }
    return 0;
}

bool CProtocolListData::SelectedLineText(CZelString* text) const
{
    CZelLockGuard guard(ZelDataLock(), kCopyLabel, __LINE__);
    if (m_selected < m_firstLine || m_selected >= m_nextLine)
        return false;
    if (text)
        *text = m_lines->held[static_cast<size_t>(m_selected - m_firstLine)].text;
    return true;
}

CZelString CProtocolListData::DefaultSaveFileName()
{
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    CZelString name = FormatTr("%S%S", Translate(kSaveFileNameText, kThisFile), DateText(now), TimeText(now));
    name.Replace(":", "_");
    return name;
}

CZelString CProtocolListData::SaveText() const
{
    CZelLockGuard guard(ZelDataLock(), kSaveLabel, __LINE__);
    CZelString text;
    for (const CProtocolLine& line : m_lines->held) {
        const LogColours colours = ColoursOf(m_name, line.kind);
        text += Format(kSaveLineFormat, DateText(line.time), TimeText(line.time), static_cast<uint32_t>(colours.background),
                       static_cast<uint32_t>(colours.text), line.text);
    }
    return text;
}

void CProtocolListData::SaveToFile(const CZelString& fileName) const
{
    CZelLockGuard guard(ZelDataLock(), kSaveLabel, __LINE__);
    CZelFile file(fileName, "WC|Sr", 1);
    file.Write(SaveText());
    file.Close();
}

void CProtocolListData::SetChangeListener(ChangeListener listener)
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    m_listener = std::move(listener);
}

void CProtocolListData::SetLineSink(LineSink sink)
{
    CZelLockGuard guard(ZelDataLock(), kReadLabel, __LINE__);
    m_sink = std::move(sink);
}

void CProtocolListData::MirrorTo(std::ostream* out, const CZelString& prefix)
{
    if (!out) {
        SetLineSink(nullptr);
        CLogMirror::Global().Flush();
        return;
    }
    SetLineSink([out, prefix](int64_t, const CZelString& text) { CLogMirror::Global().Queue(*out, prefix + text); });
}

CProtocolListData& SmtpLog()
{
    static CProtocolListData* log = new CProtocolListData(LogName::Smtp);
    return *log;
}

CProtocolListData& Pop3Log()
{
    static CProtocolListData* log = new CProtocolListData(LogName::Pop3);
    return *log;
}
