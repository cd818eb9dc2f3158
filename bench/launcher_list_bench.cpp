// The launcher list's reading at its bounds: a real-sized list of 20,000
// entries, one over the entry bound, one file named 10,000 times, 4 MiB of
// small values, and one entry holding as many members as the value bound
// lets through (the largest tree a list can still expand into). Run:
//   build/<preset>/bench/launcher_list_bench --benchmark_repetitions=5
// Peak memory of one case on its own (getrusage, whole process):
//   build/<preset>/bench/launcher_list_bench --peak <case>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "upgrade/upgradeManager.h"

namespace {

std::string typical(std::size_t entries) {
    std::string s = "{\n    \"files\": [\n";
    char line[256];
    for (std::size_t i = 0; i < entries; ++i) {
        std::snprintf(line, sizeof line, "        {\"client/data/pack%03zu/file_%05zu.dat\": \"%032zx\"}%s\n", i % 200,
                      i, i, i + 1 < entries ? "," : "");
        s += line;
    }
    return s + "    ],\n    \"version\": \"1.0.0.15\"\n}\n";
}

std::string oneFileTenThousandTimes() {
    std::string s = "{\"files\":[";
    for (int i = 0; i < 10000; ++i)
        s += std::string(i ? "," : "") + "{\"client/big.bin\":\"" + std::string(32, 'a') + "\"}";
    return s + "],\"version\":\"1\"}";
}

std::string smallValues() {
    std::string s = "{\"files\":[";
    while (s.size() < kMaxLauncherListBytes - 40) s += "0,";
    return s + "0],\"version\":\"1\"}";
}

std::string widestEntry() {
    std::string s = "{\"files\":[{\"a\":\"1\"";
    for (std::size_t i = 0; i + 4 < 8 * kMaxLauncherListEntries; ++i) s += ",\"b\":0";
    return s + "}],\"version\":\"1\"}";
}

struct Case {
    const char* name;
    std::string (*make)();
    LauncherListResult expected;
};

const Case kCases[] = {
    {"entries20000", [] { return typical(kMaxLauncherListEntries); }, LauncherListResult::Ok},
    {"entries20001", [] { return typical(kMaxLauncherListEntries + 1); }, LauncherListResult::Invalid},
    {"oneFile10000Times", oneFileTenThousandTimes, LauncherListResult::Invalid},
    {"smallValues4MiB", smallValues, LauncherListResult::Invalid},
    {"widestEntry", widestEntry, LauncherListResult::Ok},
};

void BM_ParseLauncherList(benchmark::State& state, const Case* c) {
    const std::string text = c->make();
    for (auto _ : state) {
        char version[32];
        std::vector<FileEntry> list;
        if (parseLauncherFileList(text, version, list) != c->expected) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(list.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--peak") == 0) {
        for (const Case& c : kCases) {
            if (std::strcmp(c.name, argv[2]) != 0) continue;
            const std::string text = c.make();
            rusage before{};
            getrusage(RUSAGE_SELF, &before);
            char version[32];
            std::vector<FileEntry> list;
            const bool asExpected = parseLauncherFileList(text, version, list) == c.expected;
            rusage after{};
            getrusage(RUSAGE_SELF, &after);
            std::printf("%s: %zu bytes, %s, peak RSS %ld KiB (%ld KiB before the parse)\n", c.name, text.size(),
                        asExpected ? "as expected" : "UNEXPECTED RESULT", after.ru_maxrss, before.ru_maxrss);
            return asExpected ? 0 : 1;
        }
        std::fprintf(stderr, "no case %s\n", argv[2]);
        return 2;
    }
    for (const Case& c : kCases) {
        benchmark::RegisterBenchmark((std::string("BM_ParseLauncherList/") + c.name).c_str(), BM_ParseLauncherList, &c)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
