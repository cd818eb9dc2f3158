// JsonParse plus the installed-file-list walk over a launcher.db with 20,000
// file entries, against nlohmann::json parsing the same text. Run:
//   build/<preset>/bench/json/json_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/Json.h"

namespace {

constexpr int kEntries = 20000;

struct Entry {
    char path[260];
    char md5[64];
};

// Bounded copy, like the file list's fixed fields.
void copyField(char* field, size_t capacity, const std::string& value) {
    const size_t n = value.size() < capacity - 1 ? value.size() : capacity - 1;
    std::memcpy(field, value.data(), n);
    field[n] = '\0';
}

const std::string& launcherDb() {
    static const std::string text = [] {
        std::string s = "{\n    \"files\": [\n";
        char line[256];
        for (int i = 0; i < kEntries; ++i) {
            unsigned h = 2654435761u * static_cast<unsigned>(i + 1);
            std::snprintf(line, sizeof line,
                          "        {\"client/data/pack%03d/file_%05d.dat\": \"%08x%08x%08x%08x\"}%s\n", i % 200, i, h,
                          h ^ 0x5bd1e995u, h * 31u, h ^ 0xdeadbeefu, i + 1 < kEntries ? "," : "");
            s += line;
        }
        s += "    ],\n    \"version\": \"1.0.0.15\"\n}\n";
        return s;
    }();
    return text;
}

// The walk the installed-file check makes: copy each member handle, compare
// its name, read the version or every entry's first member.
void walkFileList(JsonNode& root, std::vector<Entry>& files, char (&version)[32]) {
    for (uint32_t i = 0; i < root.size(); ++i) {
        JsonNode member = *root.at(i);
        const std::string name = member.name();
        if (name == "version") {
            copyField(version, sizeof version, member.asString());
            break;
        }
        if (name == "files") {
            for (uint32_t j = 0; j < member.size(); ++j) {
                JsonNode entry = *member.at(j);
                JsonNode* file = entry.at(0);
                if (!file) continue;
                Entry e;
                copyField(e.path, sizeof e.path, file->name());
                copyField(e.md5, sizeof e.md5, file->asString());
                files.push_back(e);
            }
        }
    }
}

void BM_JsonParseAndWalk(benchmark::State& state) {
    const std::string& text = launcherDb();
    std::vector<Entry> files;
    files.reserve(kEntries);
    for (auto _ : state) {
        files.clear();
        char version[32] = {};
        std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
        walkFileList(*root, files, version);
        root.reset();
        benchmark::DoNotOptimize(files.data());
        if (files.size() != kEntries || std::strcmp(version, "1.0.0.15") != 0) state.SkipWithError("walk");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_JsonParseAndWalk)->Unit(benchmark::kMillisecond);

// The check the file list passes before it is parsed.
void BM_JsonIsValid(benchmark::State& state) {
    const std::string& text = launcherDb();
    for (auto _ : state) {
        const bool valid = JsonIsValid(text.c_str());
        if (!valid) state.SkipWithError("invalid");
        benchmark::DoNotOptimize(valid);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_JsonIsValid)->Unit(benchmark::kMillisecond);

void BM_NlohmannParse(benchmark::State& state) {
    const std::string& text = launcherDb();
    for (auto _ : state) {
        nlohmann::json doc = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_NlohmannParse)->Unit(benchmark::kMillisecond);

void BM_NlohmannParseAndWalk(benchmark::State& state) {
    const std::string& text = launcherDb();
    std::vector<Entry> files;
    files.reserve(kEntries);
    for (auto _ : state) {
        files.clear();
        char version[32] = {};
        nlohmann::json doc = nlohmann::json::parse(text);
        for (auto& [key, value] : doc.items()) {
            if (key == "version") {
                copyField(version, sizeof version, value.get<std::string>());
                break;
            }
            if (key == "files") {
                for (auto& entry : value) {
                    auto it = entry.begin();
                    if (it == entry.end()) continue;
                    Entry e;
                    copyField(e.path, sizeof e.path, it.key());
                    copyField(e.md5, sizeof e.md5, it.value().get<std::string>());
                    files.push_back(e);
                }
            }
        }
        benchmark::DoNotOptimize(files.data());
        if (files.size() != kEntries || std::strcmp(version, "1.0.0.15") != 0) state.SkipWithError("walk");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_NlohmannParseAndWalk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
