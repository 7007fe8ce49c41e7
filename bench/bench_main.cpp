// veltra-bench [--json PATH] [name...]: runs every registered benchmark, or the named ones,
// prints a table (name, figure, floor, goal, verdict) and writes the figures as JSON;
// tools/bench_table.py makes the README's table of that JSON.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"

std::vector<BenchEntry>& BenchRegistry() {
    static std::vector<BenchEntry> registry;
    return registry;
}

double Percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    double rank = fraction * static_cast<double>(samples.size() - 1);
    size_t lo = static_cast<size_t>(std::floor(rank));
    size_t hi = std::min(lo + 1, samples.size() - 1);
    return samples[lo] + (samples[hi] - samples[lo]) * (rank - static_cast<double>(lo));
}

double Median(std::vector<double> samples) { return Percentile(std::move(samples), 0.5); }

double MaxOf(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

double Spread(const std::vector<double>& samples) {
    if (samples.size() < 2) return 1;
    double lo = *std::min_element(samples.begin(), samples.end());
    double hi = MaxOf(samples);
    if (hi <= 0) return 1;
    return lo > 0 ? hi / lo : INFINITY;
}

BenchFigure& BenchReport::Add(const std::string& name, double value, const std::vector<double>& runs,
                              const std::string& unit) {
    BenchFigure f;
    f.name = name;
    f.value = value;
    f.unit = unit;
    f.runs = static_cast<int>(runs.size());
    // A count is no timing: its runs may be zero and one without being noisy.
    f.spread = unit == "count" ? 1 : Spread(runs);
    figures.push_back(f);
    return figures.back();
}

BenchFigure& BenchFigure::Floor(double v, const std::vector<double>& floorRunsSamples) {
    hasFloor = true;
    floor = v;
    floorRuns = static_cast<int>(floorRunsSamples.size());
    floorSpread = Spread(floorRunsSamples);
    return *this;
}

std::string BenchFigure::Goal() const {
    char text[64] = "";
    switch (goalKind) {
    case GoalKind::kNone: break;
    case GoalKind::kAtMost: std::snprintf(text, sizeof text, "<= %g", goalValue); break;
    case GoalKind::kFloorPlus: std::snprintf(text, sizeof text, "<= floor + %g", goalValue); break;
    case GoalKind::kFloorTimes: std::snprintf(text, sizeof text, "<= %gx floor", goalValue); break;
    }
    return text;
}

double BenchFigure::VersusFloor() const {
    if (!hasFloor) return NAN;
    return goalKind == GoalKind::kFloorTimes ? (floor > 0 ? value / floor : NAN) : value - floor;
}

std::string BenchFigure::Verdict() const {
    if (goalKind == GoalKind::kNone || runs == 0 || !std::isfinite(value)) return "";
    double judged = goalKind == GoalKind::kAtMost ? value : VersusFloor();
    if (goalKind != GoalKind::kAtMost && (floorRuns == 0 || !std::isfinite(judged))) return "";
    return judged <= goalValue ? "met" : "missed";
}

double QpcMs(long long ticks) {
    static const double freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return static_cast<double>(ticks) * 1000.0 / freq;
}

namespace {

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

// null for what is not a number: nothing measured, or a spread over a zero.
std::string JsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

struct Result {
    std::string bench;
    BenchReport report;
};

}  // namespace

int main(int argc, char** argv) {
    // The stand-in hook library records into a block of this run's own.
    char shm[64];
    std::snprintf(shm, sizeof(shm), "veltra-bench-hravik-%lu", GetCurrentProcessId());
    SetEnvironmentVariableA("HRAVIK_SHM", shm);

    std::string jsonPath = "bench-results.json";
    std::vector<std::string> wanted;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            jsonPath = argv[++i];
        } else if (std::strcmp(argv[i], "--list") == 0) {
            for (const BenchEntry& e : BenchRegistry()) std::printf("%s\n", e.name);
            return 0;
        } else {
            wanted.push_back(argv[i]);
        }
    }
    for (const std::string& w : wanted) {
        bool known = std::any_of(BenchRegistry().begin(), BenchRegistry().end(),
                                 [&](const BenchEntry& e) { return w == e.name; });
        if (!known) {
            std::fprintf(stderr, "veltra-bench: no benchmark named %s (--list shows them)\n", w.c_str());
            return 2;
        }
    }

    std::vector<Result> results;
    for (const BenchEntry& e : BenchRegistry()) {
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), e.name) == wanted.end()) continue;
        std::fprintf(stderr, "running %s...\n", e.name);
        Result r;
        r.bench = e.name;
        e.fn(r.report);
        results.push_back(std::move(r));
    }

    std::printf("%-46s %5s %12s %12s %10s  %-6s %-18s %s\n", "name", "runs", "figure", "floor", "vs floor", "unit",
                "goal", "verdict");
    for (const Result& r : results) {
        for (const BenchFigure& f : r.report.figures) {
            char floor[32] = "", versus[32] = "";
            if (f.hasFloor) {
                std::snprintf(floor, sizeof floor, "%.3f", f.floor);
                std::snprintf(versus, sizeof versus, f.goalKind == GoalKind::kFloorTimes ? "%.2fx" : "%+.3f",
                              f.VersusFloor());
            }
            std::string verdict = f.Verdict();
            if (f.Noisy()) verdict += verdict.empty() ? "noisy" : ", noisy";
            std::printf("%-46s %5d %12.3f %12s %10s  %-6s %-18s %s\n", (r.bench + "." + f.name).c_str(), f.runs,
                        f.value, floor, versus, f.unit.c_str(), f.Goal().c_str(), verdict.c_str());
        }
    }
    for (const Result& r : results)
        for (const std::string& n : r.report.notes) std::printf("  %s: %s\n", r.bench.c_str(), n.c_str());

    FILE* out = std::fopen(jsonPath.c_str(), "w");
    if (!out) {
        std::fprintf(stderr, "veltra-bench: cannot write %s\n", jsonPath.c_str());
        return 1;
    }
    std::fprintf(out, "{\n  \"figures\": [");
    bool first = true;
    for (const Result& r : results) {
        for (const BenchFigure& f : r.report.figures) {
            static const char* const kKinds[] = {"", "at_most", "floor_plus", "floor_times"};
            std::fprintf(out,
                         "%s\n    {\"bench\": %s, \"name\": %s, \"value\": %s, \"unit\": %s, \"runs\": %d, "
                         "\"spread\": %s, \"goal\": %s, \"goal_kind\": \"%s\", \"goal_value\": %s, "
                         "\"floor\": %s, \"floor_runs\": %d, \"floor_spread\": %s, \"versus_floor\": %s, "
                         "\"verdict\": %s, \"noisy\": %s}",
                         first ? "" : ",", JsonString(r.bench).c_str(), JsonString(f.name).c_str(),
                         JsonNumber(f.value).c_str(), JsonString(f.unit).c_str(), f.runs, JsonNumber(f.spread).c_str(),
                         JsonString(f.Goal()).c_str(), kKinds[static_cast<int>(f.goalKind)],
                         JsonNumber(f.goalValue).c_str(), f.hasFloor ? JsonNumber(f.floor).c_str() : "null",
                         f.floorRuns, f.hasFloor ? JsonNumber(f.floorSpread).c_str() : "null",
                         JsonNumber(f.VersusFloor()).c_str(), JsonString(f.Verdict()).c_str(),
                         f.Noisy() ? "true" : "false");
            first = false;
        }
    }
    std::fprintf(out, "\n  ]\n}\n");
    std::fclose(out);
    std::printf("figures written to %s\n", jsonPath.c_str());
    return 0;
}
