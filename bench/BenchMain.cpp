#include "bench/BenchMain.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace velmo_bench {
namespace {
std::mutex g_linesLock;
std::vector<std::string> g_lines;

// Keeps Google Benchmark's own console output and remembers each run's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // No colour codes: the figure lines are read by scripts, and a trailing reset code
    // would otherwise stick to the front of the first of them.
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            const std::string name = run.benchmark_name();
            const auto slash = name.rfind('/');
            if (slash == std::string::npos)
                continue;
            const std::string figure = name.substr(0, slash), side = name.substr(slash + 1);
            const double perIteration = run.GetAdjustedRealTime();
            if (side == "ours")
                m_pairs[figure].first = perIteration;
            else if (side == "theirs")
                m_pairs[figure].second = perIteration;
        }
    }

    void PrintRatios() const
    {
        for (const auto& [figure, times] : m_pairs)
            if (times.first > 0 && times.second > 0)
                std::printf("RATIO %s %.3f\n", figure.c_str(), times.second / times.first);
    }

private:
    std::map<std::string, std::pair<double, double>> m_pairs;
};
} // namespace

void AddFigureLine(const std::string& line)
{
    std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.push_back(line);
}
} // namespace velmo_bench

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    velmo_bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::fflush(stdout);
    reporter.PrintRatios();
    for (const auto& line : velmo_bench::g_lines)
        std::printf("%s\n", line.c_str());
    benchmark::Shutdown();
    return 0;
}
