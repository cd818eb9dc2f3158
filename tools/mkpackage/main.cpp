// mkpackage FOLDER VERSION OUTPUT.zip [--level N] [--sign KEYFILE [--signed-at TIME]]
// mkpackage sign PACKAGE.zip VERSION KEYFILE [--signed-at TIME]
// mkpackage keygen KEYFILE
//
// Writes the launcher package for the installed-launcher folder FOLDER: every
// regular file below it, deflated with its Unix mode (less group and other
// write), plus a generated client/launcher.db that lists each file with its
// MD5 and names VERSION.
// Prints the package's MD5 on standard output (what the update service
// announces). The package appears under OUTPUT by rename, so a service that
// serves OUTPUT's folder never hands out half of it.
//
// With --sign, OUTPUT.zip.sig is written too (by rename as well, just
// before the package; a player who fetches between the two gets a mismatch,
// which the next try repairs): the statement of foundation/PackageStatement.h, signed with the
// secret key KEYFILE that keygen wrote. `sign` signs a package made before
// (to roll back, sign the older package again: it gets a newer date).
// keygen writes a new key pair's secret key to KEYFILE (mode 0600, never
// over an existing file) and prints the public key, the text that
// GL_UPDATE_PUBLIC_KEYS takes.
#include <fcntl.h>
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
#include "foundation/PackageStatement.h"
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
                 "usage: mkpackage FOLDER VERSION OUTPUT.zip [--level 1-9] [--sign KEYFILE [--signed-at TIME]]\n"
                 "  FOLDER must hold client/launcher.exe; prints the package's MD5;\n"
                 "  --sign also writes OUTPUT.zip.sig, signed now (or at TIME, YYYY-MM-DDTHH:MM:SSZ)\n"
                 "       mkpackage sign PACKAGE.zip VERSION KEYFILE [--signed-at TIME]\n"
                 "  writes PACKAGE.zip.sig for a package made before\n"
                 "       mkpackage keygen KEYFILE\n"
                 "  writes a new secret key to KEYFILE (mode 0600) and prints its public key\n");
    return 2;
}

// The version rule of client/launcher.db, which the statement repeats.
bool validVersion(const std::string& version) {
    return !version.empty() && version.size() <= kMaxVersion && version.find_first_of("\"\\") == std::string::npos &&
           std::none_of(version.begin(), version.end(), [](unsigned char c) { return c < 0x20; });
}

bool writeNew(const std::string& path, const std::string& bytes, mode_t mode) {
    // O_EXCL: a key is never written over another one, which would lock
    // out every player whose program trusts the old one.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
    return (::close(fd) == 0) && ok;
}

int keygen(const std::string& keyFile) {
    UpdateKey publicKey{};
    UpdateSecretKey secretKey{};
    if (!makeUpdateKeyPair(publicKey, secretKey)) return fail("cannot make a key pair");
    std::string text = toBase64(secretKey.data(), secretKey.size()) + "\n";
    const bool ok = writeNew(keyFile, text, 0600);
    const int error = errno;
    std::fill(text.begin(), text.end(), '\0');
    std::fill(secretKey.begin(), secretKey.end(), static_cast<unsigned char>(0));
    if (!ok) return fail("cannot create " + keyFile + ": " + std::strerror(error));
    std::printf("%s\n", toBase64(publicKey.data(), publicKey.size()).c_str());
    return 0;
}

bool readSecretKey(const std::string& keyFile, UpdateSecretKey& out, std::string& error) {
    FILE* in = std::fopen(keyFile.c_str(), "rb");
    if (in == nullptr) {
        error = "cannot open " + keyFile + ": " + std::strerror(errno);
        return false;
    }
    char buffer[256] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, in);
    std::fclose(in);
    const bool ok = parseSecretKey(std::string_view(buffer, n), out);
    std::fill(std::begin(buffer), std::end(buffer), '\0');
    if (!ok) error = keyFile + " is not a secret key written by mkpackage keygen";
    return ok;
}

// Writes PACKAGE.sig for the package at `package` (its final name) whose
// bytes are at `bytesPath` now.
bool writeStatement(const fs::path& package, const fs::path& bytesPath, const std::string& version,
                    const UpdateSecretKey& key, const std::string& signedAt, std::string& error) {
    std::string sha256;
    uint64_t size = 0;
    if (!sha256File(platform::utf8ToWide(bytesPath.string()), sha256, size)) {
        error = "cannot read " + bytesPath.string();
        return false;
    }
    const std::string statement = signPackageStatement(version, size, sha256, signedAt, key);
    if (statement.empty()) {
        error = "cannot sign: the version must be printable ASCII and signed-at YYYY-MM-DDTHH:MM:SSZ (" + signedAt +
                ")";
        return false;
    }
    const fs::path sig = package.string() + ".sig";
    const fs::path temp = sig.string() + ".part";
    std::error_code ec;
    fs::remove(temp, ec);
    if (!writeNew(temp.string(), statement, 0644)) {
        error = "cannot write " + temp.string() + ": " + std::strerror(errno);
        return false;
    }
    fs::rename(temp, sig, ec);
    if (ec) {
        fs::remove(temp, ec);
        error = "cannot rename to " + sig.string();
        return false;
    }
    return true;
}

int signOnly(const std::vector<std::string>& args, const std::string& signedAt) {
    if (args.size() != 3) return usage();
    if (!validVersion(args[1])) return fail("version must be 1 to 31 printable bytes without quotes or backslashes");
    UpdateSecretKey key{};
    std::string error;
    if (!readSecretKey(args[2], key, error)) return fail(error);
    const fs::path package = fs::absolute(args[0]);
    const bool ok = writeStatement(package, package, args[1], key, signedAt, error);
    std::fill(key.begin(), key.end(), static_cast<unsigned char>(0));
    return ok ? 0 : fail(error);
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
    std::string signKey;
    std::string signedAt = statementTime(static_cast<int64_t>(std::time(nullptr)));
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--level" && i + 1 < argc) {
            level = std::atoi(argv[++i]);
            if (level < 1 || level > 9) return usage();
        } else if (a == "--sign" && i + 1 < argc) {
            signKey = argv[++i];
        } else if (a == "--signed-at" && i + 1 < argc) {
            signedAt = argv[++i];
        } else if (a == "-h" || a == "--help") {
            return usage();
        } else {
            positional.push_back(a);
        }
    }
    if (!positional.empty() && positional[0] == "keygen") {
        return positional.size() == 2 ? keygen(positional[1]) : usage();
    }
    if (!positional.empty() && positional[0] == "sign") {
        return signOnly(std::vector<std::string>(positional.begin() + 1, positional.end()), signedAt);
    }
    if (positional.size() != 3) return usage();
    // The key is read before any work: a wrong one fails at once.
    UpdateSecretKey key{};
    if (!signKey.empty()) {
        std::string error;
        if (!readSecretKey(signKey, key, error)) return fail(error);
    }
    const fs::path folder = positional[0];
    const std::string version = positional[1];
    const fs::path output = fs::absolute(positional[2]);

    if (!validVersion(version)) {
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
    // The statement is made from the very bytes that are published.
    if (!signKey.empty()) {
        std::string error;
        const bool signedOk = writeStatement(output, temp, version, key, signedAt, error);
        std::fill(key.begin(), key.end(), static_cast<unsigned char>(0));
        if (!signedOk) {
            fs::remove(temp, ec);
            return fail(error);
        }
    }
    fs::rename(temp, output, ec);
    if (ec) {
        fs::remove(temp, ec);
        if (!signKey.empty()) fs::remove(output.string() + ".sig", ec);
        return fail("cannot rename to " + output.string());
    }
    std::printf("%s\n", md5);
    return 0;
}
