#include "foundation/fuzz/XmlFuzzCheck.h"
#include "foundation/testing/MutationFuzzer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Sized to stay well under half a minute in the sanitizer build; VELMO_FUZZ_ITERATIONS overrides.
constexpr uint64_t kDefaultIterations = 100000;

uint64_t Iterations()
{
    const char* text = std::getenv("VELMO_FUZZ_ITERATIONS");
    return text && *text ? std::strtoull(text, nullptr, 10) : kDefaultIterations;
}

std::vector<std::string> Seeds()
{
    std::vector<std::string> seeds = {
        "<?xml?>\r\n<!DOCTYPE doc>\r\n<Root Id=\"1\" >\r\n <Item Name=\"x\" />\r\n</Root>\r\n",
        "<P><A>one &amp; two</A><B></B><C a=\"&#233;&#1000;&#x41;\"/></P>",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><a v=\"&quot;&lt;&gt;\r\n\"><b/><b/><?pi?></a>",
        "\xEF\xBB\xBF<!DOCTYPE x><r a=\"1\"></r><s/>",
        "<a><b><c><d><e x=\"1\"/></d></c></b></a>",
        "<!-- c --><a b='1'/><a:b/></x>",
    };
    const std::filesystem::path folder = std::filesystem::path(VELMO_SOURCE_DIR) / "foundation/tests/data/xml";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return seeds;
}

TEST(XmlFuzz, SeedFilesParse)
{
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(VELMO_SOURCE_DIR) / "foundation/tests/data/xml")) {
        CZelXmlDocument doc;
        CZelString error;
        int line = 0;
        int column = 0;
        EXPECT_TRUE(doc.LoadFile(CZelString(entry.path().string()), 0, &error, &line, &column))
            << entry.path() << ": " << error.ToStd() << " at " << line << ":" << column;
    }
}

TEST(XmlFuzz, MutatedDocumentsKeepEveryRule)
{
    uint64_t failures = 0;
    const uint64_t runs = velmo_testing::RunMutationFuzzer(Seeds(), Iterations(), [&](const std::string& input) {
        const std::string broken = velmo_fuzz::CheckXmlInput(input);
        if (!broken.empty() && ++failures <= 5)
            ADD_FAILURE() << broken << "\ninput: " << ::testing::PrintToString(input);
    });
    EXPECT_EQ(failures, 0u);
    RecordProperty("inputs", std::to_string(runs));
}

} // namespace
