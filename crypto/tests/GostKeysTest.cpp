// Fresh session keys and initial vectors from the process-wide random source.

#include "crypto/CGostCipher.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

namespace {

template <size_t N>
bool AllZero(const std::array<uint8_t, N>& bytes)
{
    for (uint8_t b : bytes)
        if (b)
            return false;
    return true;
}

} // namespace

TEST(GostKeys, KeysAreNeverZeroAndNeverRepeat)
{
    std::set<std::array<uint8_t, 32>> seen;
    for (int i = 0; i < 1000; ++i) {
        std::array<uint8_t, 32> key{};
        CGostCipher::MakeKey(key.data());
        ASSERT_FALSE(AllZero(key));
        EXPECT_TRUE(seen.insert(key).second) << "repeated key at " << i;
    }
}

TEST(GostKeys, InitialVectorsAreNeverZeroAndNeverRepeat)
{
    std::set<std::array<uint8_t, 8>> seen;
    for (int i = 0; i < 1000; ++i) {
        std::array<uint8_t, 8> iv{};
        CGostCipher::MakeInitialVector(iv.data());
        ASSERT_FALSE(AllZero(iv));
        EXPECT_TRUE(seen.insert(iv).second) << "repeated initial vector at " << i;
    }
}

// The way a request is sealed: fresh key and vector, MAC of the plain text, CFB; the receiver
// decrypts and recomputes the MAC.
TEST(GostKeys, FreshKeyAndVectorSealAndOpen)
{
    const CGostCipher& c = CGostCipher::Shared();
    std::array<uint8_t, 32> key{};
    std::array<uint8_t, 8> iv{};
    CGostCipher::MakeKey(key.data());
    CGostCipher::MakeInitialVector(iv.data());
    const std::vector<uint8_t> plain = {'<', 'R', 'o', 'o', 't', ' ', 'I', 'd', '=', '"', '7', '"', '/', '>'};

    uint8_t mac[8];
    c.Mac(key.data(), plain.data(), plain.size(), mac, iv.data());
    std::vector<uint8_t> sealed(plain.size());
    c.CfbEncrypt(key.data(), plain.data(), plain.size(), iv.data(), sealed.data());

    std::vector<uint8_t> opened(sealed.size());
    c.CfbDecrypt(key.data(), sealed.data(), sealed.size(), iv.data(), opened.data());
    uint8_t check[8];
    c.Mac(key.data(), opened.data(), opened.size(), check, iv.data());
    EXPECT_EQ(opened, plain);
    EXPECT_EQ(std::vector<uint8_t>(check, check + 8), std::vector<uint8_t>(mac, mac + 8));
}
