// A tiny benchmark registry: each bench/<topic>_bench.cpp adds its measurements with BENCH, and
// veltra-bench runs them, prints one table and writes the same figures as JSON. Benchmarks
// report figures; they never pass or fail on them.
#pragma once

#include <string>
#include <vector>

struct BenchFigure {
    std::string name;   // what was measured, e.g. "close_blocked_reader_p50"
    double value;
    std::string unit;   // "ms", "us", "count", ...
    std::string goal;   // the figure aimed at, as text, e.g. "<= 20"; empty for none
};

class BenchReport {
public:
    void Add(const std::string& name, double value, const std::string& unit,
             const std::string& goal = std::string()) {
        figures.push_back({name, value, unit, goal});
    }
    // A note printed under the table (what was measured, how many samples).
    void Note(const std::string& text) { notes.push_back(text); }

    std::vector<BenchFigure> figures;
    std::vector<std::string> notes;
};

using BenchFn = void (*)(BenchReport&);

struct BenchEntry {
    const char* name;
    BenchFn fn;
};

std::vector<BenchEntry>& BenchRegistry();

struct BenchRegistrar {
    BenchRegistrar(const char* name, BenchFn fn) { BenchRegistry().push_back({name, fn}); }
};

// BENCH(close_blocked_reader) { report.Add(...); }
#define BENCH(name)                                                     \
    static void name##_bench(BenchReport& report);                      \
    static BenchRegistrar name##_registrar(#name, &name##_bench);       \
    static void name##_bench(BenchReport& report)

// Sorted-sample helpers for the benchmarks.
double Percentile(std::vector<double> samples, double fraction);
double Median(std::vector<double> samples);
double MaxOf(const std::vector<double>& samples);
// Milliseconds from a QueryPerformanceCounter difference.
double QpcMs(long long ticks);
