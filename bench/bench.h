// A tiny benchmark registry: each bench/<topic>_bench.cpp adds its measurements with BENCH, and
// veltra-bench runs them, prints one table and writes the same figures as JSON. Benchmarks
// report figures; they never pass or fail on them.
#pragma once

#include <string>
#include <vector>

// A figure is judged against a fixed bound, or against the same figure of a bare program of ours
// measured in the same run (its floor), as a difference or a ratio.
enum class GoalKind { kNone, kAtMost, kFloorPlus, kFloorTimes };

struct BenchFigure {
    std::string name;  // what was measured, e.g. "close_blocked_reader_p50"
    double value;
    std::string unit;  // "ms", "us", "count", ...
    int runs;          // how many runs (or batches) the value was taken from
    double spread;     // max/min over those runs; 1 for a single one
    GoalKind goalKind = GoalKind::kNone;
    double goalValue = 0;
    bool hasFloor = false;
    double floor = 0;
    int floorRuns = 0;
    double floorSpread = 1;

    // Fixed-bound goal, or a goal against the floor.
    BenchFigure& AtMost(double bound) { return SetGoal(GoalKind::kAtMost, bound); }
    BenchFigure& FloorPlus(double margin) { return SetGoal(GoalKind::kFloorPlus, margin); }
    BenchFigure& FloorTimes(double factor) { return SetGoal(GoalKind::kFloorTimes, factor); }
    BenchFigure& Floor(double value, const std::vector<double>& runs);

    std::string Goal() const;
    // value - floor, or value / floor, as the goal compares them.
    double VersusFloor() const;
    // "met", "missed", or empty when there is no goal or nothing was measured.
    std::string Verdict() const;
    // A spread over 3x, in the figure's runs or its floor's: its median says little.
    bool Noisy() const { return spread > 3 || (hasFloor && floorSpread > 3); }

private:
    BenchFigure& SetGoal(GoalKind kind, double v) {
        goalKind = kind;
        goalValue = v;
        return *this;
    }
};

class BenchReport {
public:
    // A figure from its runs: value is the statistic the name says (p50, max, ...) of `runs`.
    BenchFigure& Add(const std::string& name, double value, const std::vector<double>& runs,
                     const std::string& unit);
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
// max/min of the samples: 1 for fewer than two, infinite when the smallest is not above zero.
double Spread(const std::vector<double>& samples);
// Milliseconds from a QueryPerformanceCounter difference.
double QpcMs(long long ticks);
