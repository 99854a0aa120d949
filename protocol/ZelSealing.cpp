#include "protocol/ZelSealing.h"

#include "crypto/CGostCipher.h"
#include "crypto/SecureWipe.h"
#include "foundation/XTOOError.h"
#include "protocol/ZelRecords.h"

#include <cstring>
#include <limits>

namespace {

const uint8_t* KeyBytes(const CZelString& key)
{
    return reinterpret_cast<const uint8_t*>(key.Ptr());
}

// Looks at every byte whatever the first difference, so the time taken tells a forger nothing
// about how much of a guessed MAC was right.
bool EqualInConstantTime(const uint8_t* a, const uint8_t* b, size_t n)
{
    uint8_t difference = 0;
    for (size_t i = 0; i < n; ++i)
        difference |= static_cast<uint8_t>(a[i] ^ b[i]);
    return difference == 0;
}

// V | MAC | ciphertext written at `out`, which has room for 16 + plain length bytes.
void SealInto(const CZelString& key, const CZelString& plain, char* out)
{
    const CGostCipher& cipher = CGostCipher::Shared();
    uint8_t* iv = reinterpret_cast<uint8_t*>(out);
    uint8_t* mac = iv + CGostCipher::BlockSize;
    uint8_t* text = mac + CGostCipher::BlockSize;
    const size_t length = static_cast<size_t>(plain.Length());
    const uint8_t* data = reinterpret_cast<const uint8_t*>(plain.Ptr());
    CGostCipher::MakeInitialVector(iv);
    cipher.Mac(KeyBytes(key), data, length, mac, iv);
    cipher.CfbEncrypt(KeyBytes(key), data, length, iv, text);
}

CZelString SealWithHead(const CZelString& key, const CZelString& plain, const char* head, int32_t headSize)
{
    if (key.Length() != kSessionKeySize)
        return CZelString();
    if (plain.Length() > std::numeric_limits<int32_t>::max() - headSize - kSealedAnswerHeadSize)
        ThrowMemoryAllocationError();
    char* data = nullptr;
    CZelString sealed = CZelString::Uninitialized(headSize + kSealedAnswerHeadSize + plain.Length(), &data);
    if (data == nullptr)
        ThrowMemoryAllocationError();
    if (headSize > 0)
        std::memcpy(data, head, static_cast<size_t>(headSize));
    SealInto(key, plain, data + headSize);
    return sealed;
}

} // namespace

CZelString MakeSessionKey()
{
    uint8_t key[CGostCipher::KeySize];
    CGostCipher::MakeKey(key);
    CZelString result(reinterpret_cast<const char*>(key), kSessionKeySize);
    SecureWipe(key, sizeof key);
    return result;
}

CZelString Seal(int64_t accountId, uint32_t keyNumber, const CZelString& key, const CZelString& plain)
{
    char head[12];
    PutInt64BE(accountId, head);
    PutUInt32BE(keyNumber, head + 8);
    return SealWithHead(key, plain, head, sizeof head);
}

CZelString SealAnswer(const CZelString& key, const CZelString& plain)
{
    return SealWithHead(key, plain, nullptr, 0);
}

bool Unseal(const CZelString& key, const CZelString& sealed, CZelString& plain)
{
    if (key.Length() != kSessionKeySize || sealed.Length() < kSealedAnswerHeadSize)
        return false;
    const int32_t length = sealed.Length() - kSealedAnswerHeadSize;
    const uint8_t* iv = reinterpret_cast<const uint8_t*>(sealed.Ptr());
    const uint8_t* expectedMac = iv + CGostCipher::BlockSize;
    char* data = nullptr;
    CZelString opened = CZelString::Uninitialized(length, &data);
    if (length > 0 && data == nullptr)
        ThrowMemoryAllocationError();
    const CGostCipher& cipher = CGostCipher::Shared();
    uint8_t* text = reinterpret_cast<uint8_t*>(data);
    if (length > 0)
        cipher.CfbDecrypt(KeyBytes(key), iv + 2 * CGostCipher::BlockSize, static_cast<size_t>(length), iv, text);
    uint8_t mac[CGostCipher::BlockSize];
    cipher.Mac(KeyBytes(key), text, static_cast<size_t>(length), mac, iv);
    if (!EqualInConstantTime(mac, expectedMac, sizeof mac)) {
        // A forged or damaged seal still decrypted to something; it must not linger in freed
        // memory.
        SecureWipe(data, static_cast<size_t>(length));
        return false;
    }
    plain = opened;
    return true;
}

bool SplitSealedRequest(const CZelString& payload, int64_t& accountId, uint32_t& keyNumber,
                        CZelString& sealed)
{
    if (payload.Length() < kSealedRequestHeadSize)
        return false;
    accountId = GetInt64BE(payload.Ptr());
    keyNumber = GetUInt32BE(payload.Ptr() + 8);
    sealed = payload.Mid(kSealedRequestHeadSize - kSealedAnswerHeadSize);
    return true;
}
