// Parsing and writing a message history of about 10 MB: thousands of `message` elements with
// ten attributes each, some of them binary and full of bytes that need escaping.

#include "bench/BenchMain.h"
#include "foundation/CZelXmlDocument.h"

#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <cstdio>
#include <random>
#include <string>

namespace {

constexpr size_t kTargetBytes = 10u << 20;

std::string Digits(std::mt19937_64& rng, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text.push_back(static_cast<char>('0' + rng() % 10));
    return text;
}

// Escaped the way the writer escapes element attribute values.
std::string Escaped(const std::string& value)
{
    std::string out;
    for (char c : value) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        case '&': out += "&amp;"; break;
        case '\r': out += "&#13;"; break;
        case '\n': out += "&#10;"; break;
        case '\0': out += "&#0;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string BinaryValue(std::mt19937_64& rng, int length)
{
    std::string value;
    for (int i = 0; i < length; ++i)
        value.push_back(static_cast<char>(rng() % 4 == 0 ? "<&\"\r\n\0>'"[rng() % 8] : 0x20 + rng() % 0x5F));
    return value;
}

const std::string& HistoryText()
{
    static const std::string text = [] {
        std::mt19937_64 rng(7);
        std::string out = "<?xml?>\r\n<!DOCTYPE doc>\r\n<Root>\r\n";
        for (int n = 0; out.size() < kTargetBytes; ++n) {
            out += " <message";
            out += " Id=\"" + Digits(rng, 8) + "." + std::to_string(n) + "\"";
            out += " From=\"user" + Digits(rng, 4) + "@example.org\"";
            out += " To=\"friend" + Digits(rng, 3) + "@example.net\"";
            out += " ServerTime=\"17653" + Digits(rng, 11) + "\"";
            out += " DownloadTime=\"17653" + Digits(rng, 11) + "\"";
            out += " Delivered=\"17653" + Digits(rng, 11) + "\"";
            out += " Subject=\"" + Escaped("Re: plans & \"ideas\" for <week> " + Digits(rng, 3)) + "\"";
            out += " Status=\"" + std::string(n % 3 ? "Sent" : "Received") + "\"";
            out += " Hash=\"" + Escaped(BinaryValue(rng, 40)) + "\"";
            out += " Key=\"" + Escaped(BinaryValue(rng, 64)) + "\"";
            out += " />\r\n";
        }
        out += "</Root>\r\n";
        return out;
    }();
    return text;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

void ReportSize(benchmark::State& state, size_t bytes)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void ParseOurs(benchmark::State& state)
{
    const CZelString text(HistoryText());
    for (auto _ : state) {
        CZelXmlDocument doc;
        if (!doc.Parse(text))
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc.RootElement());
    }
    ReportSize(state, HistoryText().size());
}

void ParseTheirs(benchmark::State& state)
{
    const std::string& text = HistoryText();
    for (auto _ : state) {
        pugi::xml_document doc;
        if (!doc.load_buffer(text.data(), text.size()))
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc.first_child());
    }
    ReportSize(state, text.size());
}

void WriteOurs(benchmark::State& state)
{
    CZelXmlDocument doc;
    doc.Parse(CZelString(HistoryText()));
    size_t size = 0;
    for (auto _ : state) {
        const CZelString text = doc.ToText();
        size = static_cast<size_t>(text.Length());
        benchmark::DoNotOptimize(text.Ptr());
    }
    ReportSize(state, size);
}

void WriteTheirs(benchmark::State& state)
{
    pugi::xml_document doc;
    doc.load_buffer(HistoryText().data(), HistoryText().size());
    size_t size = 0;
    for (auto _ : state) {
        StringWriter writer;
        doc.save(writer, " ", pugi::format_indent, pugi::encoding_utf8);
        size = writer.out.size();
        benchmark::DoNotOptimize(writer.out.data());
    }
    ReportSize(state, size);
}

BENCHMARK(ParseOurs)->Name("xml_parse/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ParseTheirs)->Name("xml_parse/theirs")->Unit(benchmark::kMillisecond);
BENCHMARK(WriteOurs)->Name("xml_write/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(WriteTheirs)->Name("xml_write/theirs")->Unit(benchmark::kMillisecond);

} // namespace
