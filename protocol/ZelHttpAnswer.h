#pragma once
// Reading the head of an HTTP answer as it accumulates: where the header ends, the body's
// length, the status. Pure functions over bytes, so any input meets a defined result.

#include <cstdint>
#include <string_view>

// Bounds that keep a broken or hostile server from making the client wait or allocate without
// end. A header must end within kMaxHttpHeaderLength bytes; a body may be at most
// kMaxHttpContentLength bytes (the largest message block is far smaller).
inline constexpr int64_t kMaxHttpHeaderLength = 1 << 20;
inline constexpr int64_t kMaxHttpContentLength = int64_t(64) << 20;

struct HttpAnswerScan {
    enum Result {
        kNeedHeader,        // no "\r\n\r\n" yet
        kHeaderTooLong,     // none within the header bound
        kNoContentLength,   // the header names no length (matched as "\r\ncontent-length: ")
        kBadContentLength,  // a length that is not a plain decimal number, or above the bound
        kNeedBody,          // header and length known, body not complete yet
        kComplete,          // header and the whole body are there
    };
    Result result = kNeedHeader;
    int64_t headerLength = 0;   // through the blank line, once the header is complete
    int64_t contentLength = -1; // once known
};

HttpAnswerScan ScanHttpAnswer(std::string_view buffer, int64_t maxContentLength = kMaxHttpContentLength);

// Status lines compared byte for byte on their first 12 bytes, as HTTP/1.1 or HTTP/1.0.
bool IsHttpStatus(std::string_view header, std::string_view code);
// The first line of the header without its line end.
std::string_view HttpFirstLine(std::string_view header);
