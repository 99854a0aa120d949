#include "foundation/CZelXmlEntities.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace CZelXmlEntities {

Entity At(const char* p, const char* end) noexcept
{
    const std::string_view rest(p, static_cast<size_t>(end - p));
    if (rest.size() < 4)
        return {0, 0};
    if (rest[1] != '#') {
        if (rest.starts_with("&lt;"))
            return {4, '<'};
        if (rest.starts_with("&gt;"))
            return {4, '>'};
        if (rest.starts_with("&amp;"))
            return {5, '&'};
        if (rest.starts_with("&quot;"))
            return {6, '"'};
        return {0, 0};
    }
    size_t digits = 0;
    unsigned value = 0;
    while (digits < 4 && 2 + digits < rest.size() && rest[2 + digits] >= '0' && rest[2 + digits] <= '9') {
        value = value * 10 + static_cast<unsigned>(rest[2 + digits] - '0');
        ++digits;
    }
    if (digits == 0 || 2 + digits >= rest.size() || rest[2 + digits] != ';')
        return {0, 0};
    return {3 + digits, value < 256 ? static_cast<char>(value) : '?'};
}

namespace {

const char* NextAmp(const char* p, const char* end)
{
    const void* found = p < end ? std::memchr(p, '&', static_cast<size_t>(end - p)) : nullptr;
    return found ? static_cast<const char*>(found) : end;
}

} // namespace

namespace {

// 1: a byte the writer never writes as it is; 2: '&'.
constexpr std::array<uint8_t, 256> kRawClass = [] {
    std::array<uint8_t, 256> table{};
    table['<'] = 1;
    table['\r'] = 1;
    table['\n'] = 1;
    table['\0'] = 1;
    table['&'] = 2;
    return table;
}();

// The first byte at or after `p` that is not written as it is, or `end`.
const unsigned char* NextSpecial(const unsigned char* p, const unsigned char* end) noexcept
{
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i nul = _mm_setzero_si128();
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hits = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, lt), _mm_cmpeq_epi8(bytes, cr)),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, amp)),
                         _mm_cmpeq_epi8(bytes, nul)));
        const int mask = _mm_movemask_epi8(hits);
        if (mask)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && !kRawClass[*p])
        ++p;
    return p;
}

// The length of the writer's own entity at `p` (a '&'), 0 for any other.
size_t CanonicalEntityLength(const char* p, const char* end) noexcept
{
    const std::string_view rest(p, static_cast<size_t>(end - p));
    if (rest.size() < 4)
        return 0;
    switch (rest[1]) {
    case 'l': return rest.starts_with("&lt;") ? 4 : 0;
    case 'q': return rest.starts_with("&quot;") ? 6 : 0;
    case 'a': return rest.starts_with("&amp;") ? 5 : 0;
    case '#':
        if (rest.starts_with("&#0;"))
            return 4;
        return rest.starts_with("&#13;") || rest.starts_with("&#10;") ? 5 : 0;
    default: return 0;
    }
}

} // namespace

RawForm Classify(std::string_view raw) noexcept
{
    RawForm form{false, true};
    const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
    const auto* end = p + raw.size();
    while ((p = NextSpecial(p, end)) < end) {
        const uint8_t kind = kRawClass[*p];
        if (kind == 1) {
            form.canonical = false;
            ++p;
        } else {
            form.encoded = true;
            const size_t length = CanonicalEntityLength(reinterpret_cast<const char*>(p),
                                                        reinterpret_cast<const char*>(end));
            form.canonical = form.canonical && length != 0;
            p += length ? length : 1;
        }
    }
    return form;
}

CZelString Decode(std::string_view raw)
{
    if (raw.empty())
        return CZelString();
    const char* end = raw.data() + raw.size();
    const char* amp = NextAmp(raw.data(), end);
    if (amp == end)
        return CZelString(raw);
    size_t saved = 0;
    for (const char* p = amp; p < end;) {
        const size_t length = At(p, end).length;
        saved += length ? length - 1 : 0;
        p = NextAmp(p + (length ? length : 1), end);
    }
    char* out = nullptr;
    CZelString decoded = CZelString::Uninitialized(static_cast<int32_t>(raw.size() - saved), &out);
    if (!out)
        throw std::bad_alloc();
    for (const char* p = raw.data(); p < end;) {
        if (*p != '&') {
            const char* stop = NextAmp(p, end);
            std::memcpy(out, p, static_cast<size_t>(stop - p));
            out += stop - p;
            p = stop;
            continue;
        }
        const Entity entity = At(p, end);
        *out++ = entity.length ? entity.byte : '&';
        p += entity.length ? entity.length : 1;
    }
    return decoded;
}

} // namespace CZelXmlEntities
