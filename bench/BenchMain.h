#pragma once
// Shared main of the benchmark programs. Benchmarks come in pairs named "<figure>/ours" and
// "<figure>/theirs"; after the run one line "RATIO <figure> <ours/theirs>" is printed per pair,
// as a throughput ratio (their time divided by ours: higher is better). Programs add lines of
// their own (TIME, CPB, RATE) with AddFigureLine from inside a benchmark or after the run.

#include <string>

namespace velmo_bench {
void AddFigureLine(const std::string& line);
}
