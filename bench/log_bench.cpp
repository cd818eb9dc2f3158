// Cost of one log line against the floor: one write(2) of the same bytes to
// an append-only file. Run: build/release/bench/log_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "foundation/Log.h"

namespace {

// Every benchmark works in a folder of its own, removed afterwards.
struct BenchHome {
    BenchHome() {
        char templ[] = "/tmp/gllogbench-XXXXXX";
        root = ::mkdtemp(templ);
        ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    }
    ~BenchHome() {
        ReleaseLogger();
        std::filesystem::remove_all(root);
    }
    std::string root;
};

void BM_LogPrint(benchmark::State& state) {
    BenchHome home;
    LogPrint("[%s:%d]warm-up", "Loader", 1);
    int i = 0;
    for (auto _ : state) {
        LogPrint("[%s:%d]Piece Recv index:%d size:%d url:%s", "HttpOperation", 211, i++, 32768,
                 "http://127.0.0.1:8080/client/package.zip");
    }
}
BENCHMARK(BM_LogPrint);

void BM_WriteFloor(benchmark::State& state) {
    BenchHome home;
    const std::string path = home.root + "/floor.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    // The same length as a line of BM_LogPrint (prefix, message, CR LF).
    char line[256];
    const int n = std::snprintf(line, sizeof line,
                                "2026-12-10_01:46:29:123 [GameLauncher:12345] [HttpOperation:211]Piece Recv index:%d "
                                "size:32768 url:http://127.0.0.1:8080/client/package.zip\r\n",
                                1000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(::write(fd, line, static_cast<std::size_t>(n)));
    }
    ::close(fd);
}
BENCHMARK(BM_WriteFloor);

}  // namespace

BENCHMARK_MAIN();
