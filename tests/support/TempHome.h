// A private HOME with its own XDG folders for one test: set in the
// constructor, removed (with everything below it) and the old values put
// back in the destructor. Create it before any thread that reads the
// environment starts.
//
// On Windows the per-user folders are the profile's known folders, which no
// variable moves: config() and data() are the roaming and local application
// data of the (per-run) Wine prefix, and the product's folders in them are
// removed at both ends of the test. Tests that use them run one at a time.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& root() const { return m_root; }
    std::filesystem::path home() const { return m_root / "home"; }
    const std::filesystem::path& config() const { return m_config; }
    const std::filesystem::path& data() const { return m_data; }
    std::filesystem::path runtime() const { return m_root / "runtime"; }
    // The folder the log lives in.
    std::filesystem::path logFolder() const { return config() / "Keltora/morvel3/GameLauncher"; }

private:
    void set(const char* name, const std::string& value);

    void removeProductFolders() const;

    std::filesystem::path m_root;
    std::filesystem::path m_config;
    std::filesystem::path m_data;
    std::map<std::string, std::optional<std::string>> m_saved;
};

// Reads a whole file as bytes; empty when it cannot be read.
// Removes `root` and everything below it, read-only entries included (on
// Windows a read-only file cannot be deleted); links are removed, never
// followed. Errors are ignored.
void removeTree(const std::filesystem::path& root);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
// The lines of `text` split at "\n", without a last empty one.
std::vector<std::string> textLines(const std::string& text);

}  // namespace testsupport
