// Sealed payloads and the transfer hash.

#include "crypto/CGostCipher.h"
#include "foundation/testing/MutationFuzzer.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelTransferHash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Bytes(const CZelString& s) { return s.ToStd(); }

CZelString TestKey(char seed)
{
    std::string key(32, '\0');
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<char>(seed + 11 * i);
    return CZelString(key);
}

TEST(Sealing, SealedRequestOfEmptyTextIsTheHeadAlone)
{
    const CZelString sealed = Seal(12, kKeyNumOutbox, TestKey(1), CZelString());
    ASSERT_EQ(sealed.Length(), 28);
    EXPECT_EQ(GetInt64BE(sealed.Ptr()), 12);
    EXPECT_EQ(GetUInt32BE(sealed.Ptr() + 8), kKeyNumOutbox);
    EXPECT_NE(Bytes(sealed.Mid(12, 8)), std::string(8, '\0'));     // the initial vector
}

TEST(Sealing, RequestUnsealsOnTheServerSide)
{
    const CZelString key = TestKey(2);
    const CZelString plain("<Root Command=\"ReqMsgId\"/>\n");
    const CZelString sealed = Seal(-7, kKeyNumAccountRun, key, plain);
    ASSERT_EQ(sealed.Length(), 28 + plain.Length());
    EXPECT_EQ(sealed.Find(CZelString("ReqMsgId")), -1);

    int64_t id = 0;
    uint32_t number = 0;
    CZelString tail;
    ASSERT_TRUE(SplitSealedRequest(sealed, id, number, tail));
    EXPECT_EQ(id, -7);
    EXPECT_EQ(number, kKeyNumAccountRun);
    CZelString opened;
    ASSERT_TRUE(Unseal(key, tail, opened));
    EXPECT_EQ(Bytes(opened), Bytes(plain));
}

TEST(Sealing, AnswerFormMatchesTheCipherOperations)
{
    const CZelString key = TestKey(3);
    const CZelString plain("thirteen byte");
    const CZelString sealed = SealAnswer(key, plain);
    ASSERT_EQ(sealed.Length(), 16 + plain.Length());
    const auto* k = reinterpret_cast<const uint8_t*>(key.Ptr());
    const auto* iv = reinterpret_cast<const uint8_t*>(sealed.Ptr());
    uint8_t mac[8];
    CGostCipher::Shared().Mac(k, reinterpret_cast<const uint8_t*>(plain.Ptr()), 13, mac, iv);
    EXPECT_EQ(Bytes(sealed.Mid(8, 8)), std::string(reinterpret_cast<char*>(mac), 8));
    std::string cipher(13, '\0');
    CGostCipher::Shared().CfbEncrypt(k, reinterpret_cast<const uint8_t*>(plain.Ptr()), 13, iv,
                                     reinterpret_cast<uint8_t*>(cipher.data()));
    EXPECT_EQ(Bytes(sealed.Mid(16)), cipher);
}

TEST(Sealing, FreshInitialVectorEachTime)
{
    const CZelString key = TestKey(4);
    EXPECT_NE(Bytes(SealAnswer(key, "same")), Bytes(SealAnswer(key, "same")));
}

TEST(Sealing, KeyOfAnotherLengthSealsNothing)
{
    EXPECT_TRUE(Seal(1, 1, CZelString(std::string(31, 'k')), "text").IsEmpty());
    EXPECT_TRUE(Seal(1, 1, CZelString(std::string(33, 'k')), "text").IsEmpty());
    EXPECT_TRUE(SealAnswer(CZelString(), "text").IsEmpty());
    CZelString opened;
    EXPECT_FALSE(Unseal(CZelString(std::string(31, 'k')), SealAnswer(TestKey(5), "text"), opened));
}

TEST(Sealing, EveryChangedMacBitFails)
{
    const CZelString key = TestKey(6);
    const std::string sealed = Bytes(SealAnswer(key, "payload to protect"));
    for (int bit = 0; bit < 64; ++bit) {
        std::string broken = sealed;
        broken[8 + bit / 8] ^= static_cast<char>(1 << (bit % 8));
        CZelString opened("untouched");
        EXPECT_FALSE(Unseal(key, CZelString(broken), opened)) << bit;
        EXPECT_EQ(Bytes(opened), "untouched");
    }
}

TEST(Sealing, ChangedCipherTextOrWrongKeyFails)
{
    const CZelString key = TestKey(7);
    std::string sealed = Bytes(SealAnswer(key, "payload"));
    CZelString opened;
    EXPECT_FALSE(Unseal(TestKey(8), CZelString(sealed), opened));
    sealed[16] ^= 1;
    EXPECT_FALSE(Unseal(key, CZelString(sealed), opened));
}

TEST(Sealing, TamperedSealHandsBackNoPlainText)
{
    const CZelString key = TestKey(13);
    const std::string secret = "the secret text that a forger wants to read back";
    const std::string sealed = Bytes(SealAnswer(key, CZelString(secret)));
    struct Case {
        const char* what;
        std::string payload;
    };
    auto flip = [&](size_t at) {
        std::string broken = sealed;
        broken[at] ^= 0x40;
        return broken;
    };
    const std::vector<Case> cases = {
        {"initial vector", flip(3)},
        {"MAC", flip(15)},
        {"first text byte", flip(16)},
        {"last text byte", flip(sealed.size() - 1)},
        {"text cut short", sealed.substr(0, sealed.size() - 1)},
        {"text grown", sealed + "x"},
    };
    for (const Case& c : cases) {
        CZelString opened("sentinel");
        EXPECT_FALSE(Unseal(key, CZelString(c.payload), opened)) << c.what;
        EXPECT_EQ(Bytes(opened), "sentinel") << c.what;
    }
}

TEST(Sealing, ShortPayloadsFail)
{
    const CZelString key = TestKey(9);
    const std::string sealed = Bytes(SealAnswer(key, CZelString()));
    ASSERT_EQ(sealed.size(), 16u);
    CZelString opened("x");
    EXPECT_TRUE(Unseal(key, CZelString(sealed), opened));     // 16 bytes: an empty text
    EXPECT_TRUE(opened.IsEmpty());
    EXPECT_FALSE(Unseal(key, CZelString(sealed.substr(0, 15)), opened));
    EXPECT_FALSE(Unseal(key, CZelString(), opened));

    int64_t id = 0;
    uint32_t number = 0;
    CZelString tail;
    EXPECT_FALSE(SplitSealedRequest(CZelString(std::string(27, 'x')), id, number, tail));
}

TEST(Sealing, UnsealMeetsAnyInput)
{
    const CZelString key = TestKey(10);
    const std::vector<std::string> seeds = {
        Bytes(SealAnswer(key, "<Root Status=\"OK\"/>")),
        Bytes(SealAnswer(key, CZelString())),
        Bytes(SealAnswer(key, CZelString(std::string(1000, 'm')))),
    };
    int opened = 0;
    velmo_testing::RunMutationFuzzer(seeds, 20000, [&](const std::string& input) {
        CZelString plain;
        if (Unseal(key, CZelString(input), plain)) {
            ++opened;
            ASSERT_EQ(plain.Length() + 16, static_cast<int32_t>(input.size()));
        }
    });
    EXPECT_GE(opened, 3);      // the seeds themselves
}

TEST(Sealing, SessionKeysAreFreshAndFull)
{
    const CZelString a = MakeSessionKey();
    const CZelString b = MakeSessionKey();
    EXPECT_EQ(a.Length(), kSessionKeySize);
    EXPECT_NE(Bytes(a), Bytes(b));
    EXPECT_NE(Bytes(a), std::string(32, '\0'));
}

TEST(TransferHash, InitialValueIsFixed)
{
    // Stored outbox files and the central server depend on this value never changing.
    const std::array<uint8_t, 8> expected = TransferHashInitialValue();
    const std::vector<uint8_t> bytes(expected.begin(), expected.end());
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xCB, 0x8E, 0x13, 0x04, 0x7D, 0x13, 0x81, 0xDC}));
}

TEST(TransferHash, IsTheKeyedHashOverTheInitialValue)
{
    const CZelString key = TestKey(11);
    const CZelString data("queued message file");
    const CZelString hash = TransferHash(key, data);
    ASSERT_EQ(hash.Length(), kTransferHashSize);
    uint8_t expected[32];
    CGostCipher::Shared().KeyedHash(reinterpret_cast<const uint8_t*>(key.Ptr()),
                                    reinterpret_cast<const uint8_t*>(data.Ptr()), static_cast<size_t>(data.Length()),
                                    TransferHashInitialValue().data(), expected, sizeof expected);
    EXPECT_EQ(Bytes(hash), std::string(reinterpret_cast<char*>(expected), 32));
    EXPECT_NE(Bytes(TransferHash(key, "queued message filE")), Bytes(hash));
    EXPECT_NE(Bytes(TransferHash(TestKey(12), data)), Bytes(hash));
    EXPECT_TRUE(TransferHash(CZelString("short"), data).IsEmpty());
}

} // namespace
