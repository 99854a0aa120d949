#pragma once
// CProtocolListData: an activity log (the SMTP log, the POP3 log). A bounded list of
// time-stamped lines, each of a kind (LogKind), with terminal-like line rules: LF (or CR LF) ends a line, a
// text without LF leaves the last line open for the next write, and a lone CR clears the open
// line (progress counts rewrite themselves in place). At most 1999 lines are held; the oldest
// drop out.
//
// Every operation takes the data lock, so any thread may write at any time. A line's kind
// comes with the text that makes or changes it, so a writer never holds the lock across calls.
// Colours are chosen from the kinds only where lines are shown or saved (LogColours).
//
// Observers: a change listener (for a viewer: rows inserted, removed, repainted) and a line
// sink (each new or changed line once per write, with its whole text). Both are called under
// the data lock, right after each change, so they see the changes of all writers in order;
// they may read the log but must not write to one. The headless mirror only queues there and
// writes after the lock is let go (CLogMirror).

#include "core/LogKind.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelString.h"
#include "foundation/IZelLogSink.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <utility>
#include <vector>

struct CProtocolLine {
    int64_t time = 0;                                // seconds since 1970-01-01 UTC
    CZelString text;                                 // never holds CR or LF
    LogKind kind = LogKind::Plain;
};

// What one operation did to the list, for a viewer that shows it.
struct CProtocolChange {
    int removedFromFront = 0;                        // oldest lines dropped
    int appended = 0;                                // new lines at the end
    std::vector<int64_t> changedLines;               // new or changed line numbers, in order
};

class CProtocolListData : public IZelLogSink {
public:
    // A new line that brings the count to this drops the first one.
    static constexpr int kCapacity = 2000;

    // `name` says which log this is, for the colours its lines are saved with.
    explicit CProtocolListData(LogName name = LogName::Smtp);
    CProtocolListData(const CProtocolListData&) = delete;
    CProtocolListData& operator=(const CProtocolListData&) = delete;
    ~CProtocolListData() override;

    // --- writing ---
    // Appends `text` by the line rules as plain lines; the number of the last line made or
    // changed, or -1.
    int64_t AddStringEx(const CZelString& text) override;
    // The same, giving every line it makes or changes `kind`.
    int64_t AddStringEx(const CZelString& text, LogKind kind);
    // Through the program's translation table.
    CZelString TranslateText(const char* text, const char* sourceFile) const override;
    // Formats with the library's formatter, then AddStringEx (plain, or of `kind`).
    template<class... A>
    int64_t Write(const char* format, const A&... args) { return AddStringEx(Format(format, args...)); }
    template<class... A>
    int64_t WriteAs(LogKind kind, const char* format, const A&... args)
    {
        return AddStringEx(Format(format, args...), kind);
    }
    // Replaces the text of a line that is still held by the formatted text up to its first CR
    // or LF, and its kind; its time stays. Returns `line`.
    template<class... A>
    int64_t RewriteLine(int64_t line, LogKind kind, const char* format, const A&... args)
    {
        return RewriteLineText(line, Format(format, args...), kind);
    }
    int64_t RewriteLineText(int64_t line, const CZelString& text, LogKind kind = LogKind::Plain);
    void Clear();

    // --- reading (saving, copying, a viewer) ---
    int Count() const;
    int64_t FirstLineNumber() const;
    bool LineAt(int index, CProtocolLine* line) const;          // index 0 = the oldest held
    bool LineByNumber(int64_t number, CProtocolLine* line) const;
    // Takes / releases the data lock for a reader that looks at several lines in a row.
    void Lock(const char* source, int line) const;
    void UnLock(const char* source, int line) const;

    // --- selection and search (a viewer's selected row, kept with the data) ---
    // The selected line number, -1 when none. Following rule: while the last line is
    // selected, a new line takes the selection.
    int64_t SelectedLine() const;
    void SetSelectedLine(int64_t line);
    void SetSearchText(const CZelString& text);
    CZelString SearchText() const;
    // From the selected line's index plus `startOffset`, towards index 0 (`up`) or the end:
    // the first line containing the search text (byte-exact) becomes selected; 1 when found,
    // 0 (selection kept) otherwise. Without a selection the search starts at the end (up) or
    // at the beginning (down).
    int Find(bool up, int startOffset);
    // The selected line's text; false when nothing is selected.
    bool SelectedLineText(CZelString* text) const;

    // --- saving ---
    // "Protocol %1 %2.txt" (translated) with the current date and time texts, ':' as '_'.
    static CZelString DefaultSaveFileName();
    // One "%s %s #%08X #%08X %s\r\n" line per held line, oldest first (date, time, background,
    // text colour, text), the colours those of the line's kind in this log. A file that cannot be created throws the file error.
    void SaveToFile(const CZelString& fileName) const;
    // The same text, for a copy or a test.
    CZelString SaveText() const;

    // --- observers ---
    using ChangeListener = std::function<void(const CProtocolChange& change)>;
    using LineSink = std::function<void(int64_t lineNumber, const CZelString& text)>;
    void SetChangeListener(ChangeListener listener);
    void SetLineSink(LineSink sink);
    // Mirrors "<prefix><text>\n" per new or changed line on `out` through CLogMirror (null:
    // stop, after writing what is still queued).
    void MirrorTo(std::ostream* out, const CZelString& prefix);

private:
    struct Lines;
    using DroppedTexts = std::vector<std::pair<int64_t, CZelString>>;

    int64_t AddLocked(const CZelString& text, LogKind kind);
    void Notify(const CProtocolChange& change, const DroppedTexts& dropped);
    CProtocolLine* Last();

    LogName m_name;
    std::unique_ptr<Lines> m_lines;
    int64_t m_firstLine = 0;
    int64_t m_nextLine = 0;
    bool m_lastComplete = true;
    int64_t m_selected = -1;
    CZelString m_searchText;
    ChangeListener m_listener;
    LineSink m_sink;
};

// The two process-wide logs, made on first use and kept to the end of the process.
CProtocolListData& SmtpLog();
CProtocolListData& Pop3Log();
