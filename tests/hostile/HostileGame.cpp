#include "hostile/HostileGame.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "foundation/ZipUtil.h"
#include "upgrade/upgradeManager.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace hostile {

const char* const kBoxParseFailed =
    "\xe6\x97\xa0\xe6\xb3\x95\xe8\xa7\xa3\xe6\x9e\x90\xe7\x9a\x84\xe6\x9b\xb4\xe6\x96\xb0\xe4\xbf\xa1\xe6\x81\xaf"
    "\xef\xbc\x8c\xe5\xbc\x95\xe5\xaf\xbc\xe7\xa8\x8b\xe5\xba\x8f\xe6\x9b\xb4\xe6\x96\xb0\xe5\xa4\xb1\xe8\xb4\xa5"
    "\xef\xbc\x8c\xe8\xaf\xb7\xe9\x87\x8d\xe8\xaf\x95";
const char* const kBoxUpdateFailed =
    "\xe6\x9b\xb4\xe6\x96\xb0\xe6\xb8\xb8\xe6\x88\x8f\xe5\xbc\x95\xe5\xaf\xbc\xe7\xa8\x8b\xe5\xba\x8f\xe5\xa4\xb1"
    "\xe8\xb4\xa5\xef\xbc\x8c\xe8\xaf\xb7\xe9\x87\x8d\xe8\xaf\x95";

namespace {

constexpr const char* kBoxLine = "[test box] ";

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// A free loopback port: bound, read back and let go. nginx binds it again
// at once; nothing else here takes ports by number.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

bool portAnswers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// The files listed in a launcher.db as mkpackage writes it: path and MD5.
std::vector<std::pair<std::string, std::string>> listedFiles(const std::string& db) {
    std::vector<std::pair<std::string, std::string>> out;
    static const std::regex entry("\\{\"([^\"]+)\":\"([0-9a-fA-F]*)\"\\}");
    for (auto it = std::sregex_iterator(db.begin(), db.end(), entry); it != std::sregex_iterator(); ++it) {
        out.emplace_back((*it)[1], (*it)[2]);
    }
    return out;
}

}  // namespace

// --- snapshots ---------------------------------------------------------------

Snapshot snapshotTree(const fs::path& root, const std::vector<fs::path>& skip) {
    Snapshot out;
    std::error_code ec;
    auto it = fs::recursive_directory_iterator(root, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path& p = it->path();
        bool skipped = false;
        for (const fs::path& s : skip) skipped = skipped || p == s;
        if (skipped) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) continue;
        std::string what = "mode=" + std::to_string(st.st_mode);
        if (S_ISREG(st.st_mode)) {
            what += " md5=" + testsupport::md5Hex(readFile(p));
        } else if (S_ISLNK(st.st_mode)) {
            what += " link=" + fs::read_symlink(p, ec).string();
        }
        out[fs::relative(p, root).string()] = what;
    }
    return out;
}

std::vector<std::string> snapshotChanges(const Snapshot& before, const Snapshot& after) {
    std::vector<std::string> out;
    for (const auto& [path, what] : before) {
        const auto found = after.find(path);
        if (found == after.end()) {
            out.push_back("removed " + path);
        } else if (found->second != what) {
            out.push_back("changed " + path + " (" + what + " -> " + found->second + ")");
        }
    }
    for (const auto& [path, what] : after) {
        if (!before.count(path)) out.push_back("added " + path);
    }
    return out;
}

// --- nginx -------------------------------------------------------------------

fs::path nginxProgram() {
    for (const char* candidate : {"/usr/sbin/nginx", "/usr/bin/nginx"}) {
        if (::access(candidate, X_OK) == 0) return candidate;
    }
    return {};
}

Nginx::Nginx(const fs::path& folder, const fs::path& root, const std::string& serverLines) : m_folder(folder) {
    const fs::path program = nginxProgram();
    if (program.empty()) return;
    fs::create_directories(folder / "logs");
    fs::create_directories(folder / "temp");
    // A port taken by someone else between the probe and the bind makes
    // nginx end at once: take another.
    for (int attempt = 0; attempt < 5 && m_port == 0; ++attempt) {
        const int port = freePort();
        std::ostringstream conf;
        conf << "daemon off;\n"
             << "master_process off;\n"
             << "worker_processes 1;\n"
             << "pid " << (folder / "nginx.pid").string() << ";\n"
             << "error_log " << (folder / "logs/error.log").string() << " info;\n"
             << "events { worker_connections 64; }\n"
             << "http {\n"
             << "  access_log " << (folder / "logs/access.log").string() << ";\n"
             << "  client_body_temp_path " << (folder / "temp/body").string() << ";\n"
             << "  proxy_temp_path " << (folder / "temp/proxy").string() << ";\n"
             << "  fastcgi_temp_path " << (folder / "temp/fastcgi").string() << ";\n"
             << "  uwsgi_temp_path " << (folder / "temp/uwsgi").string() << ";\n"
             << "  scgi_temp_path " << (folder / "temp/scgi").string() << ";\n"
             << "  default_type application/octet-stream;\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << port << ";\n"
             << "    root " << root.string() << ";\n"
             << "    " << serverLines << "\n"
             << "  }\n"
             << "}\n";
        writeFile(folder / "nginx.conf", conf.str());
        // -e: the error log nginx opens before it reads its configuration
        // stays in the folder too, away from the system's.
        m_process = std::make_unique<testsupport::ChildProcess>(
            program, std::vector<std::string>{"-p", folder.string(), "-c", (folder / "nginx.conf").string(), "-e",
                                              (folder / "logs/error.log").string()});
        // nginx says nothing when it is ready: it is when the port answers.
        if (testsupport::waitUntil([&] { return !m_process->running() || portAnswers(port); },
                                   std::chrono::seconds(20)) &&
            m_process->running() && portAnswers(port)) {
            m_port = port;
        } else {
            m_process.reset();
        }
    }
}

Nginx::~Nginx() {
    if (m_process && m_process->running()) {
        m_process->signal(SIGQUIT);
        if (!m_process->wait(std::chrono::seconds(10))) m_process->signal(SIGKILL);
    }
}

std::string Nginx::url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name;
}

void Nginx::kill() {
    if (m_process && m_process->running()) {
        m_process->signal(SIGKILL);
        m_process->wait(std::chrono::seconds(10));
    }
}

std::string Nginx::accessLog() const {
    return readFile(m_folder / "logs/access.log");
}

// --- the fixture -------------------------------------------------------------

void HostileGame::SetUp() {
    GameFolderTest::SetUp();
    fs::create_directories(served());
    fs::create_directories(serverState());
    // 1.0.0.0 installed, as a first run would have left it.
    const fs::path v1 = home.root() / "server-state/launcher-1.0.0.0.zip";
    ASSERT_EQ(makePackage("1.0.0.0", v1).size(), 32u);
    fs::create_directories(installFolder());
    ASSERT_EQ(getZipUtil()->UnZipFile(v1.wstring().c_str(), installFolder().wstring().c_str()), 0);
    ASSERT_EQ(installedVersion(), "1.0.0.0");
    ASSERT_EQ(damagedFiles(), std::vector<std::string>{});
    m_packageMd5 = makePackage("2.0.0.0", package());
    ASSERT_EQ(m_packageMd5.size(), 32u);
    // Short download time-outs keep stalled cases short; each case may set
    // its own.
    writeWaitTime(5);
    m_before = outsideSnapshot();
}

void HostileGame::TearDown() {
    EXPECT_EQ(testsupport::stopLaunchers(clientFolder()), "");
    m_service.reset();
}

fs::path HostileGame::stagingFolder() const {
    return installFolder() += kStagingSuffix;
}

fs::path HostileGame::installFolder() const {
    return home.data() / "Keltora/morvel3";
}

std::string HostileGame::makePackage(const std::string& version, const fs::path& zip,
                                     const std::vector<std::pair<std::string, std::string>>& extra) {
    const fs::path stage = home.root() / "server-state" / ("stage-" + version + "-" + zip.filename().string());
    std::vector<std::pair<std::string, std::string>> files{{"client/version.txt", "launcher " + version + "\n"},
                                                           {"client/data/pieces.bin", "bytes of " + version}};
    files.insert(files.end(), extra.begin(), extra.end());
    return testsupport::makeLauncherPackage(stage, version, zip, files);
}

std::string HostileGame::publish(const std::string& version, const std::string& packageName,
                                 const std::vector<std::string>& extra) {
    m_service.reset();
    std::vector<std::string> args{"--quiet",   "--version",       version,
                                  "--files",   served().string(), "--package",
                                  packageName, "--events",        (serverState() / "events.jsonl").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    m_service = std::make_unique<testsupport::UpdateService>(args);
    return m_service->base();
}

std::vector<std::string> HostileGame::events() const {
    return testsupport::recordedEvents(serverState() / "events.jsonl");
}

void HostileGame::writeLauncherIni(const std::vector<std::string>& urls) {
    std::string text = "[UPGRADE]\n";
    for (std::size_t i = 0; i < urls.size(); ++i) {
        text += "SERVER_UPGRADE_" + std::to_string(i) + "=" + urls[i] + "\n";
    }
    writeFile(game / "launcher.ini", text);
}

void HostileGame::writeWaitTime(int seconds) {
    writeFile(game / "setting.ini", "[SETTING]\nCURL_WAITETIME=" + std::to_string(seconds) + "\n");
}

testsupport::RunResult HostileGame::run(int timeoutSeconds) {
    m_startsBefore = testsupport::launcherStarts(clientFolder()).size();
    // The launcher it starts inherits this environment: no window of its own.
    const std::map<std::string, std::string> env{
        {"QT_QPA_PLATFORM", "offscreen"}, {"GL_TEST_BOXES", "1"}, {"SAMPLE_LAUNCHER_OPTIONS", "--no-window"}};
    testsupport::RunResult result = testsupport::runProgram(game / "gamelauncher", {}, game, env, timeoutSeconds);
    if (result.exitCode == -1) {
        ADD_FAILURE() << "the program did not end within " << timeoutSeconds << " s (killed) or died\n"
                      << result.output << "\n--- log ---\n"
                      << log();
    }
    return result;
}

std::string HostileGame::installedVersion() const {
    static const std::regex version("\"version\":\"([^\"]*)\"");
    const std::string db = readFile(clientFolder() / "launcher.db");
    std::smatch m;
    return std::regex_search(db, m, version) ? m[1].str() : std::string();
}

std::vector<std::string> HostileGame::damagedFiles() const {
    const auto files = listedFiles(readFile(clientFolder() / "launcher.db"));
    if (files.empty()) return {"client/launcher.db lists no file"};
    std::vector<std::string> out;
    for (const auto& [path, md5] : files) {
        const fs::path full = installFolder() / path;
        std::error_code ec;
        if (!fs::is_regular_file(full, ec)) {
            out.push_back(path + " missing");
        } else if (testsupport::md5Hex(readFile(full)) != md5) {
            out.push_back(path + " differs");
        }
    }
    return out;
}

std::vector<std::string> HostileGame::boxesShown(const testsupport::RunResult& result) {
    std::vector<std::string> out;
    for (const std::string& line : testsupport::textLines(result.output)) {
        const std::size_t at = line.find(kBoxLine);
        if (at != std::string::npos) out.push_back(line.substr(at + std::char_traits<char>::length(kBoxLine)));
    }
    return out;
}

std::size_t HostileGame::countLogged(const std::string& part) const {
    return countOf(log(), part);
}

void HostileGame::stopLaunchers() {
    EXPECT_EQ(testsupport::stopLaunchers(clientFolder()), "");
    fs::remove(clientFolder() / "launcher.args");
    m_startsBefore = 0;
}

Snapshot HostileGame::outsideSnapshot() const {
    return snapshotTree(home.root(),
                        {home.config() / "Keltora", home.data() / "Keltora", home.runtime(),
                         home.data() / "gamelauncher-runtime", game, serverState()});
}

void HostileGame::expectNothingChangedOutside() const {
    EXPECT_EQ(snapshotChanges(m_before, outsideSnapshot()), std::vector<std::string>{})
        << "files outside the program's own folders changed";
}

void HostileGame::expectOutcome(const testsupport::RunResult& result, const Expected& expected) {
    const std::string text = log();
    EXPECT_EQ(result.exitCode, expected.exitCode) << result.output;

    // The log's account, in order.
    std::size_t at = 0;
    for (const std::string& part : expected.logged) {
        const std::size_t found = text.find(part, at);
        EXPECT_NE(found, std::string::npos) << "not logged (after the lines before it): " << part << "\n" << text;
        if (found != std::string::npos) at = found + part.size();
    }
    for (const std::string& part : expected.notLogged) {
        EXPECT_EQ(text.find(part), std::string::npos) << "logged: " << part << "\n" << text;
    }
    if (expected.boxes) {
        EXPECT_EQ(boxesShown(result), *expected.boxes);
    }

    // The installed launcher: the version expected, every file as listed.
    EXPECT_EQ(installedVersion(), expected.version);
    EXPECT_EQ(damagedFiles(), std::vector<std::string>{});

    // The launcher's start: it records itself before it takes its marker.
    if (expected.launcherStarts > 0) {
        EXPECT_TRUE(testsupport::waitLauncherMarker(true)) << "no launcher runs";
    }
    const auto starts = testsupport::launcherStarts(clientFolder());
    EXPECT_EQ(starts.size(), m_startsBefore + expected.launcherStarts) << text;
    for (std::size_t i = m_startsBefore; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i].args, std::vector<std::string>{"-gamepath=" + game.string()});
    }
    m_startsBefore = starts.size();

    expectNothingChangedOutside();
}

}  // namespace hostile
