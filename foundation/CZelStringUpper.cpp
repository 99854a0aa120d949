#include "foundation/CZelString.h"

// Placeholder until the code page tables land: only a to z.
CZelString CZelString::Upper(int) const
{
    std::string out(View());
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return CZelString(std::string_view(out));
}
