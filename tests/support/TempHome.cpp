#include "support/TempHome.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: the shell's headers need its types.
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#else
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

#ifdef _WIN32
std::filesystem::path knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    if (FAILED(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path))) {
        ::CoTaskMemFree(path);
        throw std::runtime_error("SHGetKnownFolderPath failed");
    }
    std::filesystem::path out(path);
    ::CoTaskMemFree(path);
    return out;
}

std::filesystem::path makeTempFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto path = std::filesystem::temp_directory_path() / ("glhome-" + std::to_string(random()));
        if (std::filesystem::create_directory(path)) return path;
    }
    throw std::runtime_error("no temporary folder");
}

void setVariable(const char* name, const char* value) { ::_putenv_s(name, value != nullptr ? value : ""); }
#else
std::filesystem::path makeTempFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "glhome-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return templ;
}

void setVariable(const char* name, const char* value) {
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}
#endif

}  // namespace

TempHome::TempHome() : m_root(makeTempFolder()) {
#ifdef _WIN32
    m_config = knownFolder(FOLDERID_RoamingAppData);
    m_data = knownFolder(FOLDERID_LocalAppData);
    removeProductFolders();
    for (const auto& d : {home(), runtime()}) std::filesystem::create_directories(d);
#else
    m_config = m_root / "config";
    m_data = m_root / "data";
    for (const auto& d : {home(), config(), data(), runtime()}) std::filesystem::create_directories(d);
    ::chmod(runtime().c_str(), 0700);
#endif
    set("HOME", home().string());
    set("XDG_CONFIG_HOME", config().string());
    set("XDG_DATA_HOME", data().string());
    set("XDG_RUNTIME_DIR", runtime().string());
}

void removeTree(const std::filesystem::path& root) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ec);
    }
    std::filesystem::remove_all(root, ec);
}

void TempHome::removeProductFolders() const {
    removeTree(m_config / "Keltora");
    removeTree(m_data / "Keltora");
}

TempHome::~TempHome() {
    for (const auto& [name, value] : m_saved) setVariable(name.c_str(), value ? value->c_str() : nullptr);
#ifdef _WIN32
    removeProductFolders();
#endif
    removeTree(m_root);
}

void TempHome::set(const char* name, const std::string& value) {
    if (!m_saved.count(name)) {
        const char* old = std::getenv(name);
        m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    setVariable(name, value.c_str());
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
