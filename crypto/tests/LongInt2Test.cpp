// LongInt2 and CMyExponent5 against results computed independently (Python integers, see
// data/make_bigint_cases.py), plus the size rules, thrown texts and guard checks.

#include "crypto/CMyExponent5.h"
#include "crypto/LongInt2.h"
#include "foundation/XTOOError.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

std::vector<uint8_t> HexToBytes(const std::string& hex)
{
    // Big-endian hex in, least significant byte first out.
    std::vector<uint8_t> out;
    for (int i = static_cast<int>(hex.size()); i > 0; i -= 2) {
        const int from = i - 2 < 0 ? 0 : i - 2;
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(from, i - from), nullptr, 16)));
    }
    while (!out.empty() && out.back() == 0)
        out.pop_back();
    return out;
}

std::string ToHex(const LongInt2& v)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (int i = v.GetRealSize() - 1; i >= 0; --i) {
        s += digits[v.GetData()[i] >> 4];
        s += digits[v.GetData()[i] & 15];
    }
    const size_t first = s.find_first_not_of('0');
    return first == std::string::npos ? "0" : s.substr(first);
}

// A value of the given capacity (at least its significant length).
LongInt2 Make(const std::string& hex, int capacity = 0)
{
    std::vector<uint8_t> bytes = HexToBytes(hex);
    const int size = capacity ? capacity : static_cast<int>(bytes.size());
    LongInt2 v(size);
    v.SetBytes(bytes.data(), static_cast<int>(bytes.size()));
    return v;
}

std::string Thrown(const std::function<void()>& f)
{
    try {
        f();
    } catch (const XTOOBareText& error) {
        return error.Text();
    }
    return "";
}

struct Case {
    int line;
    std::vector<std::string> f;
};

std::vector<Case> LoadCases()
{
    std::ifstream in(std::string(VELMO_SOURCE_DIR) + "/crypto/tests/data/bigint_cases.txt");
    std::vector<Case> cases;
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        std::istringstream words(text);
        Case c{line, {}};
        for (std::string w; words >> w;)
            c.f.push_back(w);
        if (!c.f.empty())
            cases.push_back(std::move(c));
    }
    return cases;
}

class BigIntCases : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_cases = new std::vector<Case>(LoadCases()); }
    static void TearDownTestSuite() { delete s_cases; }
    template <class Check> void ForEach(const std::string& op, Check check)
    {
        int seen = 0;
        for (const Case& c : *s_cases)
            if (c.f[0] == op) {
                SCOPED_TRACE("bigint_cases.txt line " + std::to_string(c.line));
                check(c.f);
                ++seen;
            }
        EXPECT_GT(seen, 0) << "no cases for " << op;
    }
    static std::vector<Case>* s_cases;
};
std::vector<Case>* BigIntCases::s_cases = nullptr;

TEST_F(BigIntCases, Products)
{
    ForEach("mul", [](const std::vector<std::string>& f) {
        LongInt2 a = Make(f[1]), b = Make(f[2]);
        LongInt2 p(a.GetRealSize() + b.GetRealSize());
        if (f[1] == f[2])
            p.Mul(a, a); // the squaring path
        else
            p.Mul(a, b);
        EXPECT_EQ(ToHex(p), f[3]);
        // Exactly the product's length is enough.
        LongInt2 tight(std::max(1, static_cast<int>(HexToBytes(f[3]).size())));
        tight.Mul(a, b);
        EXPECT_EQ(ToHex(tight), f[3]);
    });
}

TEST_F(BigIntCases, QuotientsAndRemainders)
{
    ForEach("div", [](const std::vector<std::string>& f) {
        LongInt2 a = Make(f[1]), d = Make(f[2]);
        const int size = std::max(a.GetSize(), d.GetSize());
        LongInt2 q(size), r(size), rest(size);
        q.Divide(a, d, &r);
        rest.CalcRest(a, d);
        EXPECT_EQ(ToHex(q), f[3]);
        EXPECT_EQ(ToHex(r), f[4]);
        EXPECT_EQ(ToHex(rest), f[4]);
        // In place: the dividend's own object receives the remainder.
        LongInt2 inPlace(size);
        inPlace = a;
        inPlace.CalcRest(inPlace, d);
        EXPECT_EQ(ToHex(inPlace), f[4]);
    });
}

TEST_F(BigIntCases, Inverses)
{
    ForEach("inv", [](const std::vector<std::string>& f) {
        LongInt2 x = Make(f[1]), m = Make(f[2]);
        LongInt2 r(std::max(1, m.GetSize()));
        EXPECT_EQ(r.InvMod(x, m), std::stoi(f[3]));
        if (f[3] == "0") {
            EXPECT_EQ(ToHex(r), f[4]);
        }
    });
}

TEST_F(BigIntCases, ModularPowers)
{
    ForEach("pow", [](const std::vector<std::string>& f) {
        LongInt2 base = Make(f[1]), exp = Make(f[2]), mod = Make(f[3]);
        CMyExponent5 power;
        power.Init(mod);
        LongInt2 r(std::max(1, mod.GetSize()));
        power.Power(r, base, exp);
        EXPECT_EQ(ToHex(r), f[4]);
    });
}

TEST_F(BigIntCases, AddAndSubtractWithinCapacity)
{
    for (const char* op : {"add", "sub"}) {
        ForEach(op, [op](const std::vector<std::string>& f) {
            const int size = std::stoi(f[1]);
            LongInt2 a = Make(f[2], size), b = Make(f[3], size);
            const std::string text = Thrown([&] {
                if (std::string(op) == "add")
                    a += b;
                else
                    a -= b;
            });
            if (f[4] == "OVERFLOW")
                EXPECT_EQ(text, "Overflow in LongInt2 & LongInt2::operator += (const LongInt2 &Second)");
            else if (f[4] == "UNDERFLOW")
                EXPECT_EQ(text, "Underflow in LongInt2 & LongInt2::operator -= (const LongInt2 &Second)");
            else {
                EXPECT_EQ(text, "");
                EXPECT_EQ(ToHex(a), f[4]);
            }
            EXPECT_TRUE(a.GuardsIntact());
        });
    }
}

TEST(LongInt2, AddingOneToAllOnesOverflowsAndKeepsGuardsClean)
{
    for (int size : {1, 2, 3, 4, 5, 8, 9, 128}) {
        SCOPED_TRACE(size);
        LongInt2 v(size);
        std::vector<uint8_t> ones(size, 0xFF);
        v.SetBytes(ones.data(), size);
        LongInt2 one = Make("1");
        EXPECT_EQ(Thrown([&] { v += one; }),
                  "Overflow in LongInt2 & LongInt2::operator += (const LongInt2 &Second)");
        EXPECT_TRUE(v.GuardsIntact());
        EXPECT_TRUE(v.IsZero()); // the sum modulo 256^Size
    }
}

TEST(LongInt2, AdditionSizeRuleCountsWholeLimbs)
{
    // Size 3 is two limbs: a 4-byte addend passes the size test and overflows into byte 3.
    LongInt2 three = Make("ffffff", 3);
    LongInt2 four = Make("1000000");
    EXPECT_EQ(Thrown([&] { three += four; }),
              "Overflow in LongInt2 & LongInt2::operator += (const LongInt2 &Second)");
    EXPECT_TRUE(three.GuardsIntact());
    // Size 2 is one limb: a 3-byte addend is refused before anything changes.
    LongInt2 two = Make("1234", 2);
    LongInt2 wide = Make("10000");
    EXPECT_EQ(Thrown([&] { two += wide; }),
              "Size2 > Size1 in LongInt2 & LongInt2::operator += (const LongInt2 &Second)");
    EXPECT_EQ(Thrown([&] { two -= wide; }),
              "(Size2 > Size1) in LongInt2 & LongInt2::operator -= (const LongInt2 &Second)");
    EXPECT_EQ(ToHex(two), "1234");
    // A wide capacity with a short value is fine.
    LongInt2 roomy = Make("5", 64);
    two += roomy;
    EXPECT_EQ(ToHex(two), "1239");
}

TEST(LongInt2, UnderflowOfOddSizeLeavesGuardsClean)
{
    LongInt2 a = Make("1", 3), b = Make("2", 3);
    EXPECT_EQ(Thrown([&] { a -= b; }), "Underflow in LongInt2 & LongInt2::operator -= (const LongInt2 &Second)");
    EXPECT_TRUE(a.GuardsIntact());
    EXPECT_EQ(ToHex(a), "ffffff");
}

TEST(LongInt2, ShiftLeftChecksWholeBytes)
{
    LongInt2 even = Make("ff00", 2);
    EXPECT_EQ(Thrown([&] { even <<= 8; }), "Overflow (1) in LongInt2::operator <<= (int x)");
    EXPECT_EQ(ToHex(even), "ff00"); // unchanged
    // With an odd Size the top byte would land in the probe byte: refused as well.
    LongInt2 odd = Make("ab0000", 3);
    EXPECT_EQ(Thrown([&] { odd <<= 8; }), "Overflow (1) in LongInt2::operator <<= (int x)");
    EXPECT_TRUE(odd.GuardsIntact());
    // The 0-7-bit remainder is not checked: the top bits fall off.
    LongInt2 bits = Make("81", 1);
    bits <<= 1;
    EXPECT_EQ(ToHex(bits), "2");
    LongInt2 v = Make("123", 4);
    v <<= 12;
    EXPECT_EQ(ToHex(v), "123000");
    v <<= -4;
    EXPECT_EQ(ToHex(v), "12300");
    LongInt2 zero(2);
    zero <<= 1000;
    EXPECT_TRUE(zero.IsZero());
}

TEST(LongInt2, ShiftRight)
{
    LongInt2 v = Make("123456789abcdef", 8);
    v >>= 12;
    EXPECT_EQ(ToHex(v), "123456789abc");
    v >>= -4;
    EXPECT_EQ(ToHex(v), "123456789abc0");
    v >>= 64;
    EXPECT_TRUE(v.IsZero());
    LongInt2 w = Make("ff", 1);
    w >>= 2147483647;
    EXPECT_TRUE(w.IsZero());
}

TEST(LongInt2, SizeQueries)
{
    struct Row { const char* hex; int capacity; int realSize, realWords, bits; };
    for (const Row& r : {Row{"0", 4, 0, 0, 0}, Row{"1", 4, 1, 1, 1}, Row{"80", 4, 1, 1, 8},
                         Row{"100", 4, 2, 1, 9}, Row{"10000", 4, 3, 2, 17}, Row{"ffffffff", 4, 4, 2, 32}}) {
        LongInt2 v = Make(r.hex, r.capacity);
        EXPECT_EQ(v.GetRealSize(), r.realSize) << r.hex;
        EXPECT_EQ(v.GetRealWords(), r.realWords) << r.hex;
        EXPECT_EQ(v.GetBitLength(), r.bits) << r.hex;
    }
}

TEST(LongInt2, CompareAndEqualsIgnoreCapacity)
{
    LongInt2 a = Make("10000", 3), b = Make("10000", 40), c = Make("ffff", 40);
    EXPECT_EQ(a.Compare(b), 0);
    EXPECT_TRUE(a == b);
    EXPECT_GT(a.Compare(c), 0);
    EXPECT_LT(c.Compare(a), 0);
    EXPECT_FALSE(a == c);
    EXPECT_LT(Make("1234", 2).Compare(Make("1235", 2)), 0);
}

TEST(LongInt2, SetBytesCutsAndZeroes)
{
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    LongInt2 v(4);
    v.SetBytes(bytes, 6); // cut silently
    EXPECT_EQ(ToHex(v), "4030201");
    v.SetBytes(bytes, 2);
    EXPECT_EQ(ToHex(v), "201");
    v.SetBytes(bytes, LongInt2::AllBytes);
    EXPECT_EQ(ToHex(v), "4030201");
    LongInt2 fromBytes(bytes, 3);
    EXPECT_EQ(fromBytes.GetSize(), 3);
    EXPECT_EQ(ToHex(fromBytes), "30201");
    EXPECT_TRUE(v.GuardsIntact());
}

TEST(LongInt2, AssignmentNeedsRoomForTheValue)
{
    LongInt2 small(2);
    LongInt2 big = Make("10000", 8);
    EXPECT_EQ(Thrown([&] { small = big; }), "LongInt2 & LongInt2::operator = (const LongInt2 &Second)");
    LongInt2 shortValue = Make("ff", 8);
    small = shortValue; // only the significant part has to fit
    EXPECT_EQ(ToHex(small), "ff");
}

TEST(LongInt2, ThrownTextsOfMultiplyAndDivide)
{
    LongInt2 a = Make("ffff"), b = Make("ffff"), zero(4);
    LongInt2 r3(3);
    EXPECT_EQ(Thrown([&] { r3.Mul(a, b); }), "Not enough size for multiplication result size");
    LongInt2 r4(4);
    r4.Mul(a, zero);
    EXPECT_TRUE(r4.IsZero());
    EXPECT_EQ(Thrown([&] { r4.CalcRest(a, zero); }), "LongInt2::CalcRest() - Divider==0");
    EXPECT_EQ(Thrown([&] { r4.Divide(a, zero); }), "LongInt2::Divide() - Divider==0");
    LongInt2 one(1);
    EXPECT_EQ(Thrown([&] { one.CalcRest(a, b); }), "LongInt2::CalcRest() - ThisSize < RealDividerSize");
    EXPECT_EQ(Thrown([&] { one.Divide(a, b); }), "LongInt2::Divide() - ThisSize < RealDividerSize");
    // A quotient too long for this: nothing is written, neither quotient nor remainder.
    LongInt2 q = Make("77", 1), rest = Make("66", 1);
    LongInt2 seven = Make("7");
    EXPECT_EQ(Thrown([&] { q.Divide(a, seven, &rest); }), "LongInt2 & LongInt2::operator = (const LongInt2 &Second)");
    EXPECT_EQ(ToHex(q), "77");
    EXPECT_EQ(ToHex(rest), "66");
}

TEST(LongInt2, InverseCodes)
{
    LongInt2 r(4);
    EXPECT_EQ(r.InvMod(Make("6"), Make("9")), 2);
    EXPECT_EQ(r.InvMod(Make("3"), Make("7")), 0);
    EXPECT_EQ(ToHex(r), "5");
    EXPECT_EQ(r.InvMod(Make("100"), Make("ff")), 1); // more significant bytes than m
    EXPECT_EQ(r.InvMod(Make("101"), Make("100")), 0); // same length, larger than m
    EXPECT_EQ(ToHex(r), "1");
}

TEST(LongInt2, DamagedGuardsAreReportedToTheLogFile)
{
    const velmo_testing::TempDir temp("velmo-longint");
    const auto dir = temp.Path();
    std::filesystem::create_directories(dir / "logs");
    {
        const velmo_testing::ScopedWorkingDirectory inDir(dir);
        LongInt2 front(5), back(5), both(6), clean(6);
        LongInt2Access::PokeRaw(front, -1, 0x11);
        LongInt2Access::PokeRaw(back, 5, 0x22);
        LongInt2Access::PokeRaw(both, -4, 1);
        LongInt2Access::PokeRaw(both, 6 + 8 - 1, 1); // last byte of the allocation
        EXPECT_FALSE(front.GuardsIntact());
        EXPECT_FALSE(back.GuardsIntact());
    }
    std::ifstream log(dir / "logs/LongInt2.txt", std::ios::binary);
    std::stringstream text;
    text << log.rdbuf();
    // Destroyed in reverse order of construction: both, back, front.
    EXPECT_EQ(text.str(), "LongInt2::~LongInt2(): overflow detected underflow detected\n"
                          "LongInt2::~LongInt2(): overflow detected\n"
                          "LongInt2::~LongInt2(): underflow detected\n");
}

TEST(LongInt2, ImpossibleCapacityIsRefused)
{
    EXPECT_EQ(Thrown([] { LongInt2 v(-1); }), "TL_NEW[] returns NULL in void LongInt2::Init(int Size)");
    EXPECT_EQ(Thrown([] { LongInt2 v(INT32_MAX); }), "TL_NEW[] returns NULL in void LongInt2::Init(int Size)");
}

TEST(CMyExponent5, RefusesEvenAndZeroModuli)
{
    CMyExponent5 power;
    EXPECT_EQ(Thrown([&] { power.Init(Make("10")); }), "CMyExponent5::Init() error: even number P");
    power.Init(LongInt2(4));
    LongInt2 r(4);
    EXPECT_EQ(Thrown([&] { power.Power(r, Make("3"), Make("5")); }), "div by 0");
}

TEST(CMyExponent5, ModulusOneGivesZero)
{
    CMyExponent5 power;
    power.Init(Make("1", 8));
    for (const char* base : {"0", "1", "2", "ffffffff"})
        for (const char* exp : {"0", "1", "10001", "ffffffffffffffffffff"}) {
            LongInt2 r = Make("99", 8);
            power.Power(r, Make(base), Make(exp));
            EXPECT_TRUE(r.IsZero()) << base << "^" << exp;
        }
}

TEST(CMyExponent5, SpecialOperandsInTheirOrder)
{
    CMyExponent5 power;
    power.Init(Make("fffffffb"));
    LongInt2 r(8);
    power.Power(r, Make("0"), Make("0"));   // exponent 0 is looked at before base 0
    EXPECT_EQ(ToHex(r), "1");
    power.Power(r, Make("0"), Make("5"));
    EXPECT_EQ(ToHex(r), "0");
    power.Power(r, Make("fffffffb"), Make("5")); // base = P
    EXPECT_EQ(ToHex(r), "0");
    power.Power(r, Make("fffffffc"), Make("1")); // base above P is reduced
    EXPECT_EQ(ToHex(r), "1");
}

TEST(CMyExponent5, WindowIsTheCheapestByTheCostRule)
{
    const std::vector<std::string> exponents = {"1", "3", "10001", "ffff", "123456789abcdef0123456789abcdef",
                                                std::string(128, 'f'), "8" + std::string(62, '0') + "1"};
    for (const std::string& exp : exponents) {
        LongInt2 e = Make(exp);
        const int chosen = CMyExponent5::ChooseWindow(e);
        auto cost = [&](int w) {
            int mul = 0, sqr = 0;
            CMyExponent5::CountOperations(e, w, mul, sqr);
            return static_cast<long>(mul * 1.07781562 + sqr);
        };
        for (int w = 1; w <= 7; ++w) {
            if (w < chosen)
                EXPECT_GT(cost(w), cost(chosen)) << exp << " w=" << w;
            else
                EXPECT_GE(cost(w), cost(chosen)) << exp << " w=" << w;
        }
    }
    EXPECT_EQ(CMyExponent5::ChooseWindow(Make("3")), 1);
    EXPECT_GE(CMyExponent5::ChooseWindow(Make(std::string(128, 'f'))), 4);
}

TEST(CMyExponent5, ResultMustFitItsCapacity)
{
    CMyExponent5 power;
    power.Init(Make("fffffffb"));
    LongInt2 small(1);
    EXPECT_EQ(Thrown([&] { power.Power(small, Make("12345"), Make("3")); }),
              "LongInt2 & LongInt2::operator = (const LongInt2 &Second)");
}

} // namespace
