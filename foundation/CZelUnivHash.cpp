#include "foundation/CZelUnivHash.h"

uint32_t ZelHashBytes(const char* data, int32_t length) noexcept
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    uint32_t hash = 0;
    if (length <= 4) {
        for (int32_t i = 0; i < length; ++i)
            hash |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        return hash;
    }
    for (int32_t i = 0; i < length; ++i)
        hash = ((hash << 7) | (hash >> 25)) ^ bytes[i];
    return hash;
}

uint32_t ZelHashKey(const CZelString& key) noexcept
{
    return ZelHashBytes(key.Ptr(), key.Length());
}
