#pragma once
// CPop3TextFilter: turns a stored message, piece by piece, into the form a POP3 answer carries
// before its end mark: every line ends in CR LF (a bare LF gets its CR), every line that starts
// with "." gets a second "." in front (so no line of the text can pass for the end mark), and
// a last line without a line end gets one. For TOP it stops after the header, its blank line
// and the given number of body lines.
//
// The filter holds no text of its own: a message of any size passes through a buffer of the
// caller's choosing, and feeding the same bytes twice gives the same output, so the length of
// an answer can be counted before it is sent.

#include <cstdint>
#include <string>
#include <string_view>

class CPop3TextFilter {
public:
    static constexpr int64_t kWholeText = -1;

    // `bodyLines`: the body lines after the header to pass on, or kWholeText.
    explicit CPop3TextFilter(int64_t bodyLines = kWholeText);

    // Appends the prepared form of the next bytes of the text to `out`. Bytes after the TOP
    // limit are ignored.
    void Feed(std::string_view input, std::string& out);
    // Appends what the text still needs after its last byte (the missing line end).
    void Finish(std::string& out);
    // True once the TOP limit is reached: the rest of the file need not be read.
    bool Done() const { return m_done; }

private:
    void EndLine(std::string& out);

    int64_t m_bodyLeft;
    bool m_inBody = false;
    bool m_done = false;
    bool m_lineStart = true;
    bool m_afterCr = false;
    bool m_any = false;
    int64_t m_lineBytes = 0;   // bytes of the current line other than its line end
};
