// What the per-thread crash handlers cost each worker-side callback: the
// upgrade manager's timer callbacks install and remove them on every tick.
// Against the floor of two sigaltstack(2) calls, which is what an install
// and an uninstall must at least do once the thread's stack is mapped.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "crash/CrashEngine.h"
#include "crash/ThreadCrashHandler.h"
#include "platform/text.h"

namespace {

// A private folder with a sender that does nothing, and the reports under it.
std::string prepare() {
    char templ[] = "/tmp/crashbench-XXXXXX";
    const std::string root = mkdtemp(templ);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    const std::string sender = root + "/crashsender";
    if (FILE* f = std::fopen(sender.c_str(), "w")) {
        std::fputs("#!/bin/sh\n", f);
        std::fclose(f);
    }
    chmod(sender.c_str(), 0700);
    return root;
}

// Runs first, before main() installs crash reporting.
void BM_ThreadCrashScopeNotInstalled(benchmark::State& state) {
    for (auto _ : state) {
        const ThreadCrashScope scope;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ThreadCrashScopeNotInstalled);

void BM_ThreadCrashScopeInstalled(benchmark::State& state) {
    for (auto _ : state) {
        const ThreadCrashScope scope;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ThreadCrashScopeInstalled)->Threads(1)->Threads(2);

void BM_SigaltstackFloor(benchmark::State& state) {
    static thread_local char memory[64 * 1024];
    stack_t ours{};
    ours.ss_sp = memory;
    ours.ss_size = sizeof memory;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    for (auto _ : state) {
        stack_t previous;
        sigaltstack(&ours, &previous);
        sigaltstack(&off, nullptr);
    }
}
BENCHMARK(BM_SigaltstackFloor);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The not-installed case first, then crash reporting for the rest.
    benchmark::RunSpecifiedBenchmarks(new benchmark::ConsoleReporter, "NotInstalled");
    const std::wstring folder = platform::utf8ToWide(prepare());
    crash::InstallRecord record;
    record.size = crash::kInstallRecordSize;
    record.appName = L"bench";
    record.appVersion = L"1";
    record.url = L"http://127.0.0.1:9/";
    record.senderFolder = folder.c_str();
    record.flags = 0x5FFF;
    if (crash::install(&record) != crash::kOk) return 1;
    // The install keeps the main thread's stack; without it the main thread
    // pays what every worker pays.
    crash::uninstallThreadHandlers();
    benchmark::RunSpecifiedBenchmarks(new benchmark::ConsoleReporter, "^BM_ThreadCrashScopeInstalled|Floor");
    crash::uninstall();
    benchmark::Shutdown();
    return 0;
}
