#include "support/TempHome.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempHome::TempHome() {
    std::string templ = (std::filesystem::temp_directory_path() / "glhome-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_root = templ;
    for (const auto& d : {home(), config(), data(), runtime()}) std::filesystem::create_directories(d);
    ::chmod(runtime().c_str(), 0700);
    set("HOME", home().string());
    set("XDG_CONFIG_HOME", config().string());
    set("XDG_DATA_HOME", data().string());
    set("XDG_RUNTIME_DIR", runtime().string());
}

TempHome::~TempHome() {
    for (const auto& [name, value] : m_saved) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
    std::error_code ec;
    // Read-only files and folders left by a test must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(m_root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ec);
    }
    std::filesystem::remove_all(m_root, ec);
}

void TempHome::set(const char* name, const std::string& value) {
    if (!m_saved.count(name)) {
        const char* old = std::getenv(name);
        m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    ::setenv(name, value.c_str(), 1);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace testsupport
