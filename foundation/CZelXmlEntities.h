#pragma once
// The entities of the XML dialect: &lt; &gt; &amp; &quot; and &#N; with one to four decimal
// digits (one byte; '?' from 256 up). Anything else after '&' stays as written; a numeric
// reference never becomes a UTF-8 sequence.

#include "foundation/CZelString.h"

#include <cstddef>
#include <string_view>

namespace CZelXmlEntities {

struct Entity {
    size_t length;  // bytes of the entity in the text; 0 when the '&' stands for itself
    char byte;      // what it decodes to
};

// The entity starting at `p` (a '&'), `end` being the end of the text.
Entity At(const char* p, const char* end) noexcept;

// `raw` with every entity decoded, in a string of exactly the decoded size.
CZelString Decode(std::string_view raw);

// What a raw value read from a text holds: entities to decode, and whether the bytes are
// already the writer's own escaping of the decoded value (so they can be copied out as they
// are). The escaping: '<' "&lt;", '"' "&quot;", '&' "&amp;", CR "&#13;", LF "&#10;", NUL "&#0;".
struct RawForm {
    bool encoded;
    bool canonical;
};
RawForm Classify(std::string_view raw) noexcept;

} // namespace CZelXmlEntities
