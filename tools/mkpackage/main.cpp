// mkpackage FOLDER VERSION OUTPUT.zip [--level N]
//
// Writes the launcher package for the installed-launcher folder FOLDER: every
// regular file below it, deflated with its Unix mode (less group and other
// write), plus a generated client/launcher.db that lists each file with its
// MD5 and names VERSION.
// Prints the package's MD5 on standard output (what the update service
// announces). The package appears under OUTPUT by rename, so a service that
// serves OUTPUT's folder never hands out half of it.
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/Md5.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDbPath = "client/launcher.db";
constexpr const char* kExePath = "client/launcher.exe";
// The bootstrapper keeps a listed path in 260 bytes and the version in 32,
// both zero-terminated; longer ones would be cut and never match.
constexpr std::size_t kMaxPath = 259;
constexpr std::size_t kMaxVersion = 31;
constexpr std::size_t kCopyChunk = 1 << 20;

struct Member {
    std::string name;  // relative, forward slashes
    fs::path source;
    struct stat st {};
    std::string md5;  // empty for an empty file
};

int fail(const std::string& message) {
    std::fprintf(stderr, "mkpackage: %s\n", message.c_str());
    return 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: mkpackage FOLDER VERSION OUTPUT.zip [--level 1-9]\n"
                 "  FOLDER must hold client/launcher.exe; prints the package's MD5\n");
    return 2;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The bootstrapper takes a member's DOS date and time as UTC.
uLong dosDateTime(time_t when) {
    struct tm t {};
    gmtime_r(&when, &t);
    if (t.tm_year < 80) return (0u << 25) | (1u << 21) | (1u << 16);  // 1980-01-01 00:00
    return static_cast<uLong>(t.tm_year - 80) << 25 | static_cast<uLong>(t.tm_mon + 1) << 21 |
           static_cast<uLong>(t.tm_mday) << 16 | static_cast<uLong>(t.tm_hour) << 11 |
           static_cast<uLong>(t.tm_min) << 5 | static_cast<uLong>(t.tm_sec / 2);
}

bool openMember(zipFile zip, const std::string& name, uint32_t mode, time_t mtime, int level) {
    zip_fileinfo info{};
    info.dosDate = dosDateTime(mtime);
    // Unix mode in the high half; the DOS read-only bit mirrors a missing
    // owner-write bit for readers that look only at the low half.
    info.external_fa = static_cast<uLong>(mode) << 16 | ((mode & S_IWUSR) ? 0u : 0x01u);
    const uLong madeByUnix = (3u << 8) | 20u;
    return zipOpenNewFileInZip4_64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, level, 0,
                                   -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, madeByUnix, 0,
                                   0) == ZIP_OK;
}

bool addFile(zipFile zip, const Member& m, int level, std::vector<char>& buffer) {
    FILE* in = std::fopen(m.source.c_str(), "rb");
    if (in == nullptr) return false;
    // Group and other write never travel: what is installed from the
    // package must be the player's alone to change.
    bool ok = openMember(zip, m.name, static_cast<uint32_t>(m.st.st_mode & 0177755), m.st.st_mtime, level);
    while (ok) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n > 0) ok = zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(n)) == ZIP_OK;
        if (n < buffer.size()) {
            ok = ok && !std::ferror(in);
            break;
        }
    }
    std::fclose(in);
    return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

bool addBytes(zipFile zip, const std::string& name, const std::string& bytes, time_t mtime, int level) {
    if (!openMember(zip, name, S_IFREG | 0644, mtime, level)) return false;
    bool ok = bytes.empty() ||
              zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size())) == ZIP_OK;
    return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    int level = Z_DEFAULT_COMPRESSION;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--level" && i + 1 < argc) {
            level = std::atoi(argv[++i]);
            if (level < 1 || level > 9) return usage();
        } else if (a == "-h" || a == "--help") {
            return usage();
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 3) return usage();
    const fs::path folder = positional[0];
    const std::string version = positional[1];
    const fs::path output = fs::absolute(positional[2]);

    if (version.empty() || version.size() > kMaxVersion ||
        version.find_first_of("\"\\") != std::string::npos ||
        std::any_of(version.begin(), version.end(), [](unsigned char c) { return c < 0x20; })) {
        return fail("version must be 1 to " + std::to_string(kMaxVersion) +
                    " printable bytes without quotes or backslashes: '" + version + "'");
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return fail(folder.string() + " is not a folder");
    if (!fs::is_regular_file(folder / kExePath, ec)) {
        return fail(folder.string() + " holds no " + kExePath + ": not a launcher folder");
    }

    // Every regular file (symbolic links followed), sorted by its name in
    // the package so that the same folder gives the same file list.
    std::vector<Member> members;
    const fs::path outputCanonical = fs::weakly_canonical(output, ec);
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::follow_directory_symlink, ec), end;
         !ec && it != end; it.increment(ec)) {
        Member m;
        m.source = it->path();
        if (::stat(m.source.c_str(), &m.st) != 0) return fail("cannot read " + m.source.string());
        if (S_ISDIR(m.st.st_mode)) continue;
        if (!S_ISREG(m.st.st_mode)) return fail(m.source.string() + " is neither a file nor a folder");
        m.name = fs::relative(m.source, folder).generic_string();
        if (m.name == kDbPath) continue;  // written afresh below
        if (fs::weakly_canonical(m.source, ec) == outputCanonical) continue;  // a package inside its folder
        if (m.name.size() > kMaxPath) return fail("path longer than 259 bytes: " + m.name);
        if (m.name.find('"') != std::string::npos || m.name.find('\\') != std::string::npos) {
            return fail("quotes and backslashes cannot stand in a launcher path: " + m.name);
        }
        members.push_back(std::move(m));
    }
    if (ec) return fail("cannot list " + folder.string() + ": " + ec.message());
    std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.name < b.name; });

    std::string db = "{\"files\":[";
    bool first = true;
    for (Member& m : members) {
        if (m.st.st_size == 0) {
            // Left out of the list so that lists stay readable by
            // bootstrappers whose file check refused empty files.
            std::fprintf(stderr, "mkpackage: %s is empty: packed, not listed\n", m.name.c_str());
            continue;
        }
        char md5[kMd5TextCapacity] = {};
        const std::wstring wide = platform::utf8ToWide(m.source.string());
        if (getFileMd5(wide.c_str(), md5) != kMd5Ok) return fail("cannot digest " + m.source.string());
        m.md5 = md5;
        db += first ? "" : ",";
        first = false;
        db += "{" + jsonString(m.name) + ":\"" + m.md5 + "\"}";
    }
    db += "],\"version\":" + jsonString(version) + "}";

    const fs::path temp = output.string() + ".part";
    zipFile zip = zipOpen64(temp.c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) return fail("cannot create " + temp.string() + ": " + std::strerror(errno));
    std::vector<char> buffer(kCopyChunk);
    bool ok = true;
    for (const Member& m : members) {
        if (!addFile(zip, m, level, buffer)) {
            ok = false;
            fail("cannot pack " + m.source.string());
            break;
        }
    }
    // The list goes last: a package cut short never brings a new list for
    // files it did not bring.
    // Dated as the newest file, so that the same folder gives the same bytes.
    time_t newest = 0;
    for (const Member& m : members) newest = std::max(newest, m.st.st_mtime);
    ok = ok && addBytes(zip, kDbPath, db, newest, level);
    ok = zipClose(zip, nullptr) == ZIP_OK && ok;
    if (!ok) {
        fs::remove(temp, ec);
        return fail("cannot write " + output.string());
    }
    char md5[kMd5TextCapacity] = {};
    const std::wstring wideTemp = platform::utf8ToWide(temp.string());
    if (getFileMd5(wideTemp.c_str(), md5) != kMd5Ok) {
        fs::remove(temp, ec);
        return fail("cannot digest " + temp.string());
    }
    fs::rename(temp, output, ec);
    if (ec) {
        fs::remove(temp, ec);
        return fail("cannot rename to " + output.string());
    }
    std::printf("%s\n", md5);
    return 0;
}
