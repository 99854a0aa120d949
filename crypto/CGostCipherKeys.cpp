// Fresh keys and initial vectors. Kept apart from the cipher so that only programs that make
// keys pull in the process-wide random source.

#include "crypto/CCryptRandom.h"
#include "crypto/CGostCipher.h"
#include "foundation/XTOOError.h"

namespace {

constexpr char kNoRandomSource[] = "No random source for a new GOST key";

// A failing random source must not turn into a predictable key: the zeroed buffer would pass
// the "never all zero" rule below as the constant 01 00 00 ...
void FillNonZeroRandom(uint8_t* out, size_t length)
{
    if (!CryptRandomFill(out, length))
        throw XTOOErrMsg(kNoRandomSource);
    for (size_t i = 0; i < length; ++i)
        if (out[i])
            return;
    out[0] = 1;
}

} // namespace

void CGostCipher::MakeInitialVector(uint8_t iv[BlockSize])
{
    FillNonZeroRandom(iv, BlockSize);
}

void CGostCipher::MakeKey(uint8_t key[KeySize])
{
    FillNonZeroRandom(key, KeySize);
}
