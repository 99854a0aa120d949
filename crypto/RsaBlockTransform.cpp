#include "crypto/RsaBlockTransform.h"

#include "crypto/CMyExponent5.h"

#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr int kMinBlock = 16;
constexpr int kFirstBlockOverhead = 12;   // length, time, index, random, zero
constexpr int kBlockOverhead = 8;         // time, index, random, zero

// Offsets counted back from the end of a k-byte block.
constexpr int kLengthFromEnd = 12;
constexpr int kTimeFromEnd = 8;
constexpr int kIndexFromEnd = 4;
constexpr int kRandomFromEnd = 3;

void Put32(uint8_t* at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

int Capacity(int block, int k) { return block == 0 ? k - kFirstBlockOverhead : k - kBlockOverhead; }

} // namespace

int64_t RsaBlockTransform::BlockCount(int64_t length, int k)
{
    const int64_t blocks = (length + k - 5) / (k - kBlockOverhead);
    return blocks < 1 ? 1 : blocks;
}

int RsaBlockTransform::Apply(const LongInt2& n, const LongInt2& exponent, const void* message, int length,
                             uint32_t time, CZelString& out, CCryptRandom& random)
{
    const int k = n.GetRealSize();
    if (k < kMinBlock || length < 0 || (length > 0 && !message))
        return ErrorFormat;
    try {
        const int64_t blocks = BlockCount(length, k);
        const int64_t total = blocks * k;
        if (total > std::numeric_limits<int32_t>::max())
            return ErrorArithmetic;
        CMyExponent5 power;
        power.Init(n);
        char* outData = nullptr;
        CZelString result = CZelString::Uninitialized(static_cast<int32_t>(total), &outData);
        if (!outData)
            return ErrorArithmetic;
        const uint8_t* text = static_cast<const uint8_t*>(message);
        LongInt2 plain(k), cipher(k);
        int64_t offset = 0;
        for (int64_t i = 0; i < blocks; ++i) {
            uint8_t* b = plain.GetData();
            plain.SetZero();
            const int room = Capacity(static_cast<int>(i), k);
            const int64_t take = length - offset < room ? length - offset : room;
            if (take > 0)
                std::memcpy(b, text + offset, static_cast<size_t>(take));
            offset += take > 0 ? take : 0;
            if (i == 0)
                Put32(b + k - kLengthFromEnd, static_cast<uint32_t>(length));
            Put32(b + k - kTimeFromEnd, time);
            b[k - kIndexFromEnd] = static_cast<uint8_t>(i);
            random.Fill(b + k - kRandomFromEnd, 2);   // padding only: a failed draw leaves zeros
            b[k - 1] = 0;
            power.Power(cipher, plain, exponent);
            std::memcpy(outData + i * k, cipher.GetData(), static_cast<size_t>(k));
        }
        out = result;
        return static_cast<int>(total);
    } catch (...) {
        return ErrorArithmetic;
    }
}

int RsaBlockTransform::Invert(const LongInt2& n, const LongInt2& exponent, const void* input, int length,
                              CZelString& message, uint32_t& time)
{
    const int k = n.GetRealSize();
    if (k < kMinBlock || length <= 0 || !input || length % k != 0)
        return ErrorFormat;
    try {
        const int blocks = length / k;
        const uint8_t* in = static_cast<const uint8_t*>(input);
        CMyExponent5 power;
        power.Init(n);
        LongInt2 cipher(k), plain(k);
        CZelString result;
        char* outData = nullptr;
        int64_t messageLength = 0, offset = 0;
        uint32_t firstTime = 0;
        for (int i = 0; i < blocks; ++i) {
            cipher.SetBytes(in + static_cast<int64_t>(i) * k, k);
            power.Power(plain, cipher, exponent);
            const uint8_t* b = plain.GetData();
            if (b[k - kIndexFromEnd] != static_cast<uint8_t>(i))
                return ErrorBlockIndex;
            const uint32_t blockTime = Get32(b + k - kTimeFromEnd);
            if (i == 0) {
                messageLength = Get32(b + k - kLengthFromEnd);
                firstTime = blockTime;
                const int64_t low = blocks > 1 ? static_cast<int64_t>(blocks - 1) * (k - kBlockOverhead) - 3 : 0;
                const int64_t high = blocks > 1 ? static_cast<int64_t>(blocks) * (k - kBlockOverhead) - 4
                                                : k - kFirstBlockOverhead;
                if (messageLength < low || messageLength > high)
                    return ErrorLength;
                // Bounded by the input length, which the range check above guarantees.
                result = CZelString::Uninitialized(static_cast<int32_t>(messageLength), &outData);
                if (messageLength > 0 && !outData)
                    return ErrorArithmetic;
            } else if (blockTime != firstTime) {
                return ErrorTime;
            }
            const int64_t room = Capacity(i, k);
            const int64_t take = messageLength - offset < room ? messageLength - offset : room;
            if (take > 0) {
                std::memcpy(outData + offset, b, static_cast<size_t>(take));
                offset += take;
            }
        }
        message = result;
        time = firstTime;
        return static_cast<int>(messageLength);
    } catch (...) {
        return ErrorArithmetic;
    }
}
