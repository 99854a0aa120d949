#include "net/LineWords.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr char kBlanks[] = " \t";
constexpr char kLineEnd[] = "\r\n";
constexpr int kAsciiOnly = 0;

} // namespace

CZelString AsciiUpper(const CZelString& text)
{
    return text.Upper(kAsciiOnly);
}

CZelString StripLineEnd(const CZelString& raw)
{
    return raw.View().ends_with(kLineEnd) ? raw.Left(raw.Length() - 2) : raw;
}

CZelString OneLine(const CZelString& text)
{
    CZelString result = text;
    result.Replace("\r", "");
    result.Replace("\n", "");
    return result;
}

LineWords SplitFirstWord(const CZelString& line, bool skipLeadingBlanks)
{
    const std::string_view all = line.View();
    const size_t start = skipLeadingBlanks ? std::min(all.find_first_not_of(kBlanks), all.size()) : 0;
    const size_t wordEnd = std::min(all.find_first_of(kBlanks, start), all.size());
    const size_t restStart = std::min(all.find_first_not_of(kBlanks, wordEnd), all.size());
    return {CZelString(all.substr(start, wordEnd - start)), CZelString(all.substr(restStart))};
}

CZelString MaskAfterWords(const CZelString& line, int keptWords, const char* mark)
{
    const std::string_view all = line.View();
    size_t end = 0;
    for (int i = 0; i < keptWords; ++i) {
        const size_t start = std::min(all.find_first_not_of(kBlanks, end), all.size());
        end = std::min(all.find_first_of(kBlanks, start), all.size());
    }
    const size_t next = std::min(all.find_first_not_of(kBlanks, end), all.size());
    // Nothing but blanks, or a line end, after the kept words: nothing to hide.
    const std::string_view after = all.substr(next);
    if (after.empty() || after == kLineEnd || after == "\n")
        return line;
    return CZelString(all.substr(0, end)) + " " + mark;
}
