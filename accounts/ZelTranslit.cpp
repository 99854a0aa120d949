#include "accounts/ZelTranslit.h"

#include "foundation/CZelCodePage.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// The source bytes in the order of the table's items.
std::array<uint8_t, 66> SourceBytes()
{
    std::array<uint8_t, 66> bytes{};
    size_t i = 0;
    auto run = [&](int from, int to) {
        for (int b = from; b <= to; ++b)
            bytes[i++] = static_cast<uint8_t>(b);
    };
    run(0xE0, 0xE5);
    run(0xB8, 0xB8);
    run(0xE6, 0xFF);
    run(0xC0, 0xC5);
    run(0xA8, 0xA8);
    run(0xC6, 0xDF);
    return bytes;
}

struct TranslitIndex {
    struct Item {
        uint16_t offset = 0;
        uint8_t length = 0;
        bool present = false;
    };
    std::array<Item, 256> items{};

    TranslitIndex()
    {
        const std::string_view table(kTranslitTable);
        const std::array<uint8_t, 66> sources = SourceBytes();
        size_t start = 0;
        for (uint8_t source : sources) {
            const size_t dot = table.find('.', start);
            items[source] = {static_cast<uint16_t>(start), static_cast<uint8_t>(dot - start), true};
            start = dot + 1;
        }
    }
};

// Built once, on first use; the initialisation of a function-local static is thread-safe.
const TranslitIndex& Index()
{
    static const TranslitIndex index;
    return index;
}

} // namespace

CZelString TransliterateCp1251(const CZelString& text)
{
    const TranslitIndex& index = Index();
    std::string out;
    out.reserve(static_cast<size_t>(text.Length()) * 2);
    for (char c : text.View()) {
        const TranslitIndex::Item& item = index.items[static_cast<uint8_t>(c)];
        if (item.present)
            out.append(kTranslitTable + item.offset, item.length);
        else
            out.push_back(c);
    }
    return CZelString(std::string_view(out));
}

CZelString Transliterate(const CZelString& utf8Name)
{
    return TransliterateCp1251(FromWide(Utf8ToWide(utf8Name), kCodePageWin1251));
}

CZelString UnicodeName(const CZelString& utf8Name)
{
    return Utf8ToWide(utf8Name);
}
