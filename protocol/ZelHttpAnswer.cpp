#include "protocol/ZelHttpAnswer.h"

#include <string>

namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kContentLengthField = "\r\ncontent-length: ";

std::string LowerCase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// The decimal number at `at`, ended by a blank or a carriage return; -1 when there is none,
// when anything else ends it, or when it passes `max`.
int64_t ReadLength(std::string_view header, size_t at, int64_t max)
{
    int64_t value = 0;
    size_t i = at;
    for (; i < header.size() && header[i] >= '0' && header[i] <= '9'; ++i) {
        value = value * 10 + (header[i] - '0');
        if (value > max)
            return -1;
    }
    if (i == at || i >= header.size() || (header[i] != ' ' && header[i] != '\r'))
        return -1;
    return value;
}

} // namespace

HttpAnswerScan ScanHttpAnswer(std::string_view buffer, int64_t maxContentLength)
{
    HttpAnswerScan scan;
    const std::string_view searched = buffer.substr(0, static_cast<size_t>(kMaxHttpHeaderLength));
    const size_t end = searched.find(kHeaderEnd);
    if (end == std::string_view::npos) {
        scan.result = buffer.size() >= static_cast<size_t>(kMaxHttpHeaderLength) ? HttpAnswerScan::kHeaderTooLong
                                                                                  : HttpAnswerScan::kNeedHeader;
        return scan;
    }
    scan.headerLength = static_cast<int64_t>(end + kHeaderEnd.size());
    const std::string_view header = buffer.substr(0, static_cast<size_t>(scan.headerLength));
    const size_t field = LowerCase(header).find(kContentLengthField);
    if (field == std::string::npos) {
        scan.result = HttpAnswerScan::kNoContentLength;
        return scan;
    }
    scan.contentLength = ReadLength(header, field + kContentLengthField.size(), maxContentLength);
    if (scan.contentLength < 0) {
        scan.result = HttpAnswerScan::kBadContentLength;
        return scan;
    }
    const int64_t bodyBytes = static_cast<int64_t>(buffer.size()) - scan.headerLength;
    scan.result = bodyBytes < scan.contentLength ? HttpAnswerScan::kNeedBody : HttpAnswerScan::kComplete;
    return scan;
}

bool IsHttpStatus(std::string_view header, std::string_view code)
{
    if (header.size() < 12 || code.size() != 3)
        return false;
    const std::string_view version = header.substr(0, 9);
    return (version == "HTTP/1.1 " || version == "HTTP/1.0 ") && header.substr(9, 3) == code;
}

std::string_view HttpFirstLine(std::string_view header)
{
    const size_t end = header.find("\r\n");
    return end == std::string_view::npos ? header : header.substr(0, end);
}
