#include "CrashUploads.h"

#include "JsonString.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace crashuploads {

namespace {

constexpr std::size_t kMaxNameBytes = 100;

bool writeWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

std::string safeFileName(const std::string& sent) {
    // Only the last path component counts: a client on Windows may send
    // "C:\\Users\\x\\log.txt".
    std::size_t start = sent.find_last_of("/\\");
    start = start == std::string::npos ? 0 : start + 1;
    std::string out;
    for (std::size_t i = start; i < sent.size() && out.size() < kMaxNameBytes; ++i) {
        const unsigned char c = static_cast<unsigned char>(sent[i]);
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        out.push_back(keep ? static_cast<char>(c) : '_');
    }
    // No hidden names, and neither "." nor "..".
    while (!out.empty() && out.front() == '.') out.erase(out.begin());
    if (out.empty()) out = "part";
    return out;
}

bool Store::prepare() {
    std::error_code ec;
    fs::create_directories(m_root, ec);
    return fs::is_directory(m_root, ec);
}

std::string Store::nextId() {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::lock_guard<std::mutex> lock(m_lock);
    char id[64];
    std::snprintf(id, sizeof id, "%s-%06u", stamp, ++m_counter);
    return id;
}

std::string Store::store(const std::vector<Part>& parts) {
    std::error_code ec;
    // The root may have been cleared while the service runs.
    fs::create_directories(m_root, ec);
    std::string id;
    fs::path staging;
    // Another service run may share the root; an id already taken there is
    // skipped rather than written into.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        id = nextId();
        staging = m_root / ("." + id + ".incoming");
        if (!fs::exists(m_root / id, ec) && fs::create_directory(staging, ec)) break;
        id.clear();
    }
    if (id.empty()) return "";

    std::set<std::string> used{"upload.json"};
    std::string manifest = "{\"id\":" + jsonString(id) + ",\"parts\":[";
    bool ok = true;
    for (std::size_t i = 0; i < parts.size() && ok; ++i) {
        const Part& p = parts[i];
        const std::string base = safeFileName(p.filename.empty() ? p.name : p.filename);
        std::string stored = base;
        for (int n = 2; used.count(stored) != 0; ++n) stored = base + "-" + std::to_string(n);
        used.insert(stored);
        ok = writeWhole(staging / stored, p.content);
        if (i) manifest += ',';
        manifest += "{\"name\":" + jsonString(p.name) + ",\"filename\":" + jsonString(p.filename) +
                    ",\"content_type\":" + jsonString(p.contentType) + ",\"size\":" + std::to_string(p.content.size()) +
                    ",\"stored\":" + jsonString(stored) + "}";
    }
    manifest += "]}\n";
    if (ok) ok = writeWhole(staging / "upload.json", manifest);
    if (ok) {
        fs::rename(staging, m_root / id, ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove_all(staging, ec);
        return "";
    }
    return id;
}

}  // namespace crashuploads
