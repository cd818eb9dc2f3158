// Reference update-and-report service for demos and tests. Listens on
// 127.0.0.1 only and prints its base URL ("http://127.0.0.1:<port>/") as the
// first line of standard output.
//
//   POST launcher/check   echoes rnd; answers the configured ver, url, md5, ip
//   POST log/startgame    appends the event to a JSON-lines file, answers
//                         {"status":1}
//   GET/HEAD files/<name> the files of --files (also those added later), with
//                         single byte ranges, never outside that folder
//   POST index.php/crashReport/uploadExternal
//                         stores a multipart crash upload under --crash-dir,
//                         one folder per upload; answers {"status":1,"id":...}
//
// Every request is bounded (GuardedServer.h): its head, its body (8 KiB, the
// crash upload --crash-max-bytes) and the time it may take to arrive.
//
// Runs until SIGINT or SIGTERM. See usage() for the options.
#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CrashUploads.h"
#include "GuardedServer.h"
#include "JsonString.h"
#include "common/RangeFiles.h"

namespace fs = std::filesystem;

namespace {

struct Options {
    int port = 0;
    std::string version = "1.0.0.0";
    std::string ip = "127.0.0.1";
    fs::path filesDir;
    std::string package;
    std::string packageUrl;
    std::string md5;
    fs::path eventsFile = "events.jsonl";
    fs::path checksFile;
    fs::path urlFile;
    int checkStatus = 200;
    std::string reportReply = "{\"status\":1}";
    bool quiet = false;
    fs::path crashDir;
    std::size_t crashMaxBytes = 64u << 20;
};

void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [options]\n"
                 "  --port N            port on 127.0.0.1 (default 0: a free one)\n"
                 "  --version TEXT      ver answered by launcher/check (default 1.0.0.0)\n"
                 "  --ip TEXT           ip answered by launcher/check (default 127.0.0.1)\n"
                 "  --files DIR         serve DIR's files under <base>files/ (GET, HEAD, Range)\n"
                 "  --package NAME      url answered = <base>files/NAME; md5 = MD5 of DIR/NAME,\n"
                  "                      computed once per version of the file (DIR/NAME must\n"
                  "                      exist at start); a signed package's statement\n"
                  "                      NAME.sig beside it is served as <url>.sig, like\n"
                  "                      every file of DIR\n"
                 "  --package-url URL   url answered instead (with --md5)\n"
                 "  --md5 HEX           md5 answered instead of the computed one (32 hex digits)\n"
                 "  --events FILE       JSON-lines file the events are appended to\n"
                 "                      (default ./events.jsonl)\n"
                 "  --checks FILE       JSON-lines file the check requests are appended to\n"
                 "  --url-file FILE     also write the base URL into FILE once listening\n"
                 "  --check-status N    HTTP status of launcher/check replies (default 200)\n"
                 "  --report-reply TEXT body of log/startgame replies (default {\"status\":1})\n"
                 "  --crash-dir DIR     store crash uploads under DIR, one folder each\n"
                 "                      (without it the upload path answers 404)\n"
                 "  --crash-max-bytes N largest crash upload taken (default 67108864;\n"
                 "                      a larger one is refused with 413; the other\n"
                 "                      paths take at most 8192 bytes)\n"
                 "  --quiet             no request lines on standard error\n",
                 argv0);
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--help" || a == "-h") {
            return false;
        } else if (!value(v)) {
            std::fprintf(stderr, "update-service: %s needs a value\n", a.c_str());
            return false;
        } else if (a == "--port") {
            char* end = nullptr;
            errno = 0;
            const long n = std::strtol(v.c_str(), &end, 10);
            o.port = (v.empty() || *end != '\0' || errno != 0 || n < 0 || n > 65535) ? -1 : static_cast<int>(n);
        } else if (a == "--version") {
            o.version = v;
        } else if (a == "--ip") {
            o.ip = v;
        } else if (a == "--files") {
            o.filesDir = v;
        } else if (a == "--package") {
            o.package = v;
        } else if (a == "--package-url") {
            o.packageUrl = v;
        } else if (a == "--md5") {
            o.md5 = v;
        } else if (a == "--events") {
            o.eventsFile = v;
        } else if (a == "--checks") {
            o.checksFile = v;
        } else if (a == "--url-file") {
            o.urlFile = v;
        } else if (a == "--check-status") {
            o.checkStatus = std::atoi(v.c_str());
        } else if (a == "--report-reply") {
            o.reportReply = v;
        } else if (a == "--crash-dir") {
            o.crashDir = v;
        } else if (a == "--crash-max-bytes") {
            const long long n = std::atoll(v.c_str());
            if (n <= 0) {
                std::fprintf(stderr, "update-service: --crash-max-bytes needs a positive number\n");
                return false;
            }
            o.crashMaxBytes = static_cast<std::size_t>(n);
        } else {
            std::fprintf(stderr, "update-service: unknown option %s\n", a.c_str());
            return false;
        }
    }
    return true;
}

bool isMd5Text(const std::string& text) {
    if (text.size() != 32) return false;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// Each of these mistakes would otherwise start a service whose every answer
// sends players through three failed tries and the update-failed warning at
// every start: refused here, with what to give instead. Empty when the
// options make a service that can answer.
std::string optionMistake(const Options& o) {
    if (o.port < 0 || o.port > 65535) return "--port needs a number from 0 to 65535";
    if (!o.package.empty()) {
        if (o.filesDir.empty()) return "--package needs --files (the folder that holds the package)";
        std::error_code ec;
        if (!rangefiles::isSafeName(o.package) || !fs::is_regular_file(o.filesDir / o.package, ec))
            return "--package " + o.package + " is not a file in --files " + o.filesDir.string() +
                   ": copy the package there first";
    }
    if (!o.packageUrl.empty() && o.md5.empty())
        return "--package-url needs --md5 (the package's MD5, as printed by mkpackage)";
    if (!o.md5.empty() && !isMd5Text(o.md5))
        return "--md5 " + o.md5 + " is not an MD5: it needs 32 hex digits (as printed by mkpackage)";
    return "";
}

// The client sends its forms without percent-encoding, so the raw body is
// split here: a '+' or '%' in a value is the value's own character.
std::vector<std::pair<std::string, std::string>> splitForm(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t pos = 0;
    while (pos <= body.size()) {
        std::size_t amp = body.find('&', pos);
        if (amp == std::string::npos) amp = body.size();
        const std::string pair = body.substr(pos, amp - pos);
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            fields.emplace_back(pair, "");
        } else {
            fields.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
        }
        pos = amp + 1;
    }
    return fields;
}

std::string field(const std::vector<std::pair<std::string, std::string>>& fields, const std::string& name) {
    for (const auto& [k, v] : fields) {
        if (k == name) return v;
    }
    return "";
}

// Computed apart from the client's own digest code, so that the end-to-end
// tests compare two implementations rather than one with itself. Empty when
// the file cannot be read to its end.
std::string md5OfFd(int fd) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
    std::vector<char> buf(1 << 16);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        EVP_DigestUpdate(ctx, buf.data(), static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, digest, &len);
    EVP_MD_CTX_free(ctx);
    std::string hex;
    for (unsigned int i = 0; ok && i < len; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", digest[i]);
        hex += b;
    }
    return hex;
}

// The package's MD5, computed once per version of the file rather than at
// every check (a 256 MiB package costs 0.4 s of CPU). A version is the
// file's device, inode, size and modification time, as for the served
// mappings: packages are published by rename, which makes a new one. The
// digest is taken from the same open file as that identity.
class PackageDigest {
public:
    explicit PackageDigest(fs::path path) : m_path(std::move(path)) {}

    // Empty when the file is missing, not a regular file or unreadable.
    // Checks wait for each other while a digest is computed.
    std::string md5() {
        std::lock_guard<std::mutex> lock(m_lock);
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return "";
        struct stat st {};
        std::string md5;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            if (m_known && st.st_dev == m_dev && st.st_ino == m_ino && st.st_size == m_size &&
                st.st_mtim.tv_sec == m_mtime.tv_sec && st.st_mtim.tv_nsec == m_mtime.tv_nsec) {
                md5 = m_md5;
            } else {
                md5 = md5OfFd(fd);
                m_known = !md5.empty();
                m_md5 = md5;
                m_dev = st.st_dev;
                m_ino = st.st_ino;
                m_size = st.st_size;
                m_mtime = st.st_mtim;
            }
        }
        ::close(fd);
        return md5;
    }

private:
    const fs::path m_path;
    std::mutex m_lock;
    bool m_known = false;
    std::string m_md5;
    dev_t m_dev{};
    ino_t m_ino{};
    off_t m_size{};
    timespec m_mtime{};
};

std::string nowText() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// Appends one JSON object line; the file is opened per line so that a
// reader sees every line complete as soon as the reply has gone out.
class JsonLines {
public:
    explicit JsonLines(fs::path path) : m_path(std::move(path)) {}
    bool enabled() const { return !m_path.empty(); }
    void append(const std::string& path, const std::string& body,
                const std::vector<std::pair<std::string, std::string>>& fields) {
        std::string line = "{\"time\":";
        line += jsonString(nowText());
        line += ",\"path\":";
        line += jsonString(path);
        for (const auto& [k, v] : fields) {
            if (k.empty()) continue;
            line += ',';
            line += jsonString(k);
            line += ':';
            line += jsonString(v);
        }
        line += ",\"body\":";
        line += jsonString(body);
        line += "}\n";
        std::lock_guard<std::mutex> lock(m_lock);
        std::ofstream out(m_path, std::ios::binary | std::ios::app);
        out << line;
        out.flush();
    }

private:
    fs::path m_path;
    std::mutex m_lock;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        usage(argv[0]);
        return 2;
    }
    if (const std::string mistake = optionMistake(opt); !mistake.empty()) {
        std::fprintf(stderr, "update-service: %s\n", mistake.c_str());
        return 2;
    }
    // SIGINT/SIGTERM are taken by a thread of their own, which stops the
    // server; blocking them first keeps every other thread out of it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    guardedserver::GuardedServer server;
    JsonLines events(opt.eventsFile);
    PackageDigest packageDigest(opt.filesDir / opt.package);
    JsonLines checks(opt.checksFile);
    std::string base;

    auto note = [&](const httplib::Request& req, int status) {
        if (!opt.quiet)
            std::fprintf(stderr, "update-service: %s %s -> %d\n", req.method.c_str(), req.path.c_str(), status);
    };

    // The program's check and event bodies are under 512 bytes. 8 KiB is
    // also where the library itself refuses a form-encoded body, once read.
    constexpr std::size_t kFormBodyMaxBytes = 8 * 1024;
    server.setBodyLimit("/launcher/check", kFormBodyMaxBytes);
    server.setBodyLimit("/log/startgame", kFormBodyMaxBytes);
    server.Post("/launcher/check", [&](const httplib::Request& req, httplib::Response& res) {
        const auto fields = splitForm(req.body);
        if (checks.enabled()) checks.append("launcher/check", req.body, fields);
        std::string url = opt.packageUrl;
        std::string md5 = opt.md5;
        if (!opt.package.empty()) {
            if (url.empty()) url = base + "files/" + opt.package;
            if (md5.empty()) md5 = packageDigest.md5();
        }
        const std::string reply = "{\"rnd\":" + jsonString(field(fields, "rnd")) +
                                  ",\"ver\":" + jsonString(opt.version) + ",\"url\":" + jsonString(url) +
                                  ",\"md5\":" + jsonString(md5) + ",\"ip\":" + jsonString(opt.ip) + "}";
        res.status = opt.checkStatus;
        res.set_content(reply, "application/json");
        note(req, res.status);
    });

    server.Post("/log/startgame", [&](const httplib::Request& req, httplib::Response& res) {
        events.append("log/startgame", req.body, splitForm(req.body));
        res.status = 200;
        res.set_content(opt.reportReply, "application/json");
        note(req, res.status);
    });

    // Without --crash-dir the path is not served at all (404), as for a
    // service that does not take crash reports.
    std::unique_ptr<crashuploads::Store> crashStore;
    if (!opt.crashDir.empty()) {
        crashStore = std::make_unique<crashuploads::Store>(opt.crashDir);
        if (!crashStore->prepare()) {
            std::fprintf(stderr, "update-service: cannot use %s for crash uploads\n", opt.crashDir.c_str());
            return 2;
        }
        // Bodies beyond the bound are refused with 413 before they are read.
        server.setBodyLimit("/index.php/crashReport/uploadExternal", opt.crashMaxBytes);
        server.Post("/index.php/crashReport/uploadExternal", [&](const httplib::Request& req, httplib::Response& res) {
            std::vector<crashuploads::Part> parts;
            for (const auto& [name, f] : req.files) parts.push_back({f.name, f.filename, f.content_type, f.content});
            std::string id;
            if (!req.is_multipart_form_data() || parts.empty()) {
                res.status = 400;
                res.set_content("{\"status\":0,\"error\":\"not a multipart upload\"}", "application/json");
            } else if ((id = crashStore->store(parts)).empty()) {
                res.status = 500;
                res.set_content("{\"status\":0,\"error\":\"cannot store the upload\"}", "application/json");
            } else {
                res.status = 200;
                res.set_content("{\"status\":1,\"id\":" + jsonString(id) + "}", "application/json");
            }
            note(req, res.status);
        });
    }

    std::unique_ptr<rangefiles::RangeFiles> files;
    if (!opt.filesDir.empty()) {
        files = std::make_unique<rangefiles::RangeFiles>(opt.filesDir);
        if (!files->valid()) {
            std::fprintf(stderr, "update-service: cannot serve %s\n", opt.filesDir.c_str());
            return 2;
        }
        rangefiles::tuneServer(server);
        server.Get("/files/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
            rangefiles::answer(*files, req.matches[1], req, res);
        });
    }
    // The handlers note their own requests; here the file route's and those
    // refused before a handler ran (too large or too slow).
    server.set_logger([&](const httplib::Request& req, const httplib::Response& res) {
        if (req.path.rfind("/files/", 0) == 0 || res.status == 408 || res.status == 413 || res.status == 431)
            note(req, res.status);
    });

    // The library's default socket options add SO_REUSEPORT, with which a
    // second service binds a port another one listens on and the two share
    // the players' checks. SO_REUSEADDR alone still allows a restart while
    // the last connections linger, and refuses a port in use.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    int port = opt.port;
    if (port == 0) {
        port = server.bind_to_any_port("127.0.0.1");
        if (port <= 0) {
            std::fprintf(stderr, "update-service: cannot bind 127.0.0.1: %s\n", std::strerror(errno));
            return 1;
        }
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        if (errno == EADDRINUSE) {
            std::fprintf(stderr,
                         "update-service: port %d on 127.0.0.1 is in use by another program: stop it first or "
                         "choose another --port\n",
                         port);
        } else {
            std::fprintf(stderr, "update-service: cannot bind 127.0.0.1:%d: %s\n", port, std::strerror(errno));
        }
        return 1;
    }
    base = "http://127.0.0.1:" + std::to_string(port) + "/";

    std::atomic<bool> done{false};
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        // A stop that lands before the listening loop has started is lost,
        // so it is repeated until that loop has ended.
        while (!done.load()) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    if (!opt.urlFile.empty()) {
        const fs::path tmp = opt.urlFile.string() + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << base << "\n";
        }
        fs::rename(tmp, opt.urlFile);
    }
    std::printf("%s\n", base.c_str());
    std::fflush(stdout);

    const bool ok = server.listen_after_bind();
    // listen_after_bind also returns when the socket fails; wake the stopper
    // so that it can be joined.
    done.store(true);
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return ok ? 0 : 1;
}
