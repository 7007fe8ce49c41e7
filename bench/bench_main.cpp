// veltra-bench [--json PATH] [name...]: runs every registered benchmark, or the named ones,
// prints a table (name, figure, unit, goal) and writes the figures as JSON.
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

    std::printf("%-44s %14s  %-6s %s\n", "name", "figure", "unit", "goal");
    for (const Result& r : results) {
        for (const BenchFigure& f : r.report.figures)
            std::printf("%-44s %14.4f  %-6s %s\n", (r.bench + "." + f.name).c_str(), f.value,
                        f.unit.c_str(), f.goal.c_str());
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
            std::fprintf(out, "%s\n    {\"bench\": %s, \"name\": %s, \"value\": %.6f, \"unit\": %s, \"goal\": %s}",
                         first ? "" : ",", JsonString(r.bench).c_str(), JsonString(f.name).c_str(),
                         std::isfinite(f.value) ? f.value : -1.0, JsonString(f.unit).c_str(),
                         JsonString(f.goal).c_str());
            first = false;
        }
    }
    std::fprintf(out, "\n  ]\n}\n");
    std::fclose(out);
    std::printf("figures written to %s\n", jsonPath.c_str());
    return 0;
}
