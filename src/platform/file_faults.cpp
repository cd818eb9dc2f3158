#include "platform/file_faults.h"

#ifdef GL_TEST_HOOKS

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/file_faults_system.h"

namespace platform {

namespace {

const char* opName(FileOp op) {
    switch (op) {
        case FileOp::Create: return "create";
        case FileOp::Write: return "write";
        case FileOp::Rename: return "rename";
        case FileOp::Truncate: return "truncate";
        case FileOp::SetAttributes: return "set-attributes";
        case FileOp::Delete: return "delete";
        case FileOp::CreateFolder: return "create-folder";
    }
    return "?";
}

uint64_t readNumber(const char* name) {
    const std::string text = faults::environment(name);
    if (text.empty()) return 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    return (end != nullptr && *end == '\0') ? static_cast<uint64_t>(n) : 0;
}

class FileFaults {
public:
    FileFaults() {
        m_failAt = readNumber("GL_TEST_FAIL_FILE_OP");
        m_stopAt = readNumber("GL_TEST_STOP_AT_FILE_OP");
        m_reportPath = faults::environment("GL_TEST_FILE_OP_COUNT");
        const std::string list = faults::environment("GL_TEST_FILE_OP_SCOPE");
        std::size_t at = 0;
        while (!list.empty() && at <= list.size()) {
            std::size_t end = list.find(faults::scopeSeparator(), at);
            if (end == std::string::npos) end = list.size();
            const std::string folder = list.substr(at, end - at);
            if (!folder.empty()) m_scope.push_back(faults::resolveFolder(folder));
            at = end + 1;
        }
        m_active = m_failAt != 0 || m_stopAt != 0 || !m_reportPath.empty();
        if (!m_reportPath.empty()) std::atexit([] { instance().writeReport(); });
    }

    // Never destroyed: the report is written by an exit handler, which may
    // run after the destructors of static objects.
    static FileFaults& instance() {
        static FileFaults* const faults = new FileFaults;
        return *faults;
    }

    // `path` is only asked for when the operation counts at all.
    template <typename PathOf>
    bool check(FileOp op, PathOf pathOf) {
        if (!m_active) return false;
        const std::string path = pathOf();
        if (!inScope(path)) return false;
        uint64_t n;
        bool fail;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            n = ++m_count;
            fail = n == m_failAt;
            if (!m_reportPath.empty()) {
                m_lines.push_back(std::to_string(n) + " " + opName(op) + " " + path + (fail ? " failed" : ""));
            }
        }
        if (n == m_stopAt) faults::stopProcess();
        if (fail) faults::setFailure(op);
        return fail;
    }

private:
    bool inScope(const std::string& path) const {
        if (m_scope.empty()) return true;
        for (const std::string& folder : m_scope) {
            if (faults::inFolder(path, folder)) return true;
        }
        return false;
    }

    void writeReport() {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            text = "operations " + std::to_string(m_count) + "\n";
            for (const std::string& line : m_lines) text += line + "\n";
        }
        faults::writeReport(m_reportPath, text);
    }

    uint64_t m_failAt = 0;
    uint64_t m_stopAt = 0;
    std::string m_reportPath;
    std::vector<std::string> m_scope;
    bool m_active = false;
    std::mutex m_mutex;
    uint64_t m_count = 0;
    std::vector<std::string> m_lines;
};

// Reads the environment before main: a run without counted operations still
// writes its report.
[[maybe_unused]] const bool g_loaded = (FileFaults::instance(), true);

}  // namespace

bool injectFileFault(FileOp op, const std::string& systemPath) {
    return FileFaults::instance().check(op, [&] { return faults::resolve(systemPath); });
}

bool injectFileFaultOnHandle(FileOp op, NativeHandle file) {
    return FileFaults::instance().check(op, [&] { return faults::pathOfHandle(file); });
}

bool injectFileFaultAt(FileOp op, NativeHandle folder, const std::string& leaf) {
    return FileFaults::instance().check(
        op, [&] { return faults::pathOfHandle(folder) + faults::pathSeparator() + leaf; });
}

}  // namespace platform

#endif  // GL_TEST_HOOKS
