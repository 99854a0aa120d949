#include "protocol/ZelTransferHash.h"

#include "crypto/CGostCipher.h"
#include "protocol/ZelSealing.h"

namespace {

// The value is derived rather than written out, so it does not sit in the binary as a plain
// constant: each byte is a step of a small linear congruence over the byte's index.
std::array<uint8_t, 8> BuildInitialValue()
{
    std::array<uint8_t, 8> value{};
    uint32_t state = 0x5645u;            // 'V' 'E'
    for (size_t i = 0; i < value.size(); ++i) {
        state = state * 1103515245u + 12345u + static_cast<uint32_t>(i);
        value[i] = static_cast<uint8_t>(state >> 16);
    }
    return value;
}

} // namespace

const std::array<uint8_t, 8>& TransferHashInitialValue()
{
    static const std::array<uint8_t, 8> value = BuildInitialValue();
    return value;
}

CZelString TransferHash(const CZelString& key, const char* data, int64_t length)
{
    if (key.Length() != kSessionKeySize || length < 0)
        return CZelString();
    uint8_t hash[kTransferHashSize];
    CGostCipher::Shared().KeyedHash(reinterpret_cast<const uint8_t*>(key.Ptr()),
                                    reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(length),
                                    TransferHashInitialValue().data(), hash, sizeof hash);
    return CZelString(reinterpret_cast<const char*>(hash), kTransferHashSize);
}

CZelString TransferHash(const CZelString& key, const CZelString& data)
{
    return TransferHash(key, data.Ptr(), data.Length());
}

CTransferHasher::CTransferHasher(const CZelString& key)
{
    if (key.Length() == kSessionKeySize)
        m_stream.emplace(CGostCipher::Shared(), reinterpret_cast<const uint8_t*>(key.Ptr()),
                         TransferHashInitialValue().data());
}

void CTransferHasher::Add(const char* data, int64_t length)
{
    if (m_stream && length > 0)
        m_stream->Add(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(length));
}

CZelString CTransferHasher::Finish()
{
    if (!m_stream)
        return CZelString();
    uint8_t hash[kTransferHashSize];
    m_stream->Finish(hash, sizeof hash);
    m_stream.reset();
    return CZelString(reinterpret_cast<const char*>(hash), kTransferHashSize);
}
