// The update service's bounds as a server open to anyone: each route takes a
// body of the size it needs and no more, a request's head has a bounded
// number and size of header lines, slow clients neither keep a connection
// for ever nor starve ordinary requests, and the package's MD5 is computed
// once per version of the file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::UpdateService;

namespace {

constexpr const char* kCrashPath = "/index.php/crashReport/uploadExternal";

// A plain TCP connection to the service, for requests httplib's client will
// not send. Every receive and send gives up after `limit`.
class RawConnection {
public:
    RawConnection(const UpdateService& service, std::chrono::seconds limit = std::chrono::seconds(60)) {
        const std::string hp = service.hostAndPort();
        const int port = std::atoi(hp.substr(hp.find(':') + 1).c_str());
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(limit.count());
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawConnection() {
        if (m_fd >= 0) ::close(m_fd);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return m_fd >= 0; }
    // False once the peer has closed or reset the connection.
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Everything until the peer closes; false when the time limit came first.
    bool readToEnd(std::string& out) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) return true;
            return errno == ECONNRESET;
        }
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

class UpdateServiceLimits : public ::testing::Test {
protected:
    httplib::Client client(const UpdateService& service) {
        httplib::Client c("http://" + service.hostAndPort());
        c.set_connection_timeout(10);
        c.set_read_timeout(60);
        c.set_write_timeout(60);
        return c;
    }
    static std::uintmax_t bytesIn(const fs::path& file) { return fs::exists(file) ? fs::file_size(file) : 0; }
    fs::path events() const { return home.root() / "events.jsonl"; }
    fs::path checks() const { return home.root() / "checks.jsonl"; }
    fs::path crashes() const { return home.root() / "crashes"; }
    std::size_t crashFolders() const {
        std::size_t n = 0;
        if (fs::exists(crashes()))
            for ([[maybe_unused]] const auto& e : fs::directory_iterator(crashes())) ++n;
        return n;
    }
    testsupport::TempHome home;
};

TEST_F(UpdateServiceLimits, ABodyBeyondItsRoutesBoundIsRefusedAndNothingIsStored) {
    UpdateService service({"--quiet", "--events", events().string(), "--checks", checks().string(), "--crash-dir",
                           crashes().string()});
    ASSERT_FALSE(service.base().empty());
    const std::string big = "rnd=abc&ext=" + std::string(1 << 20, 'x');
    struct Case {
        const char* path;
        const char* type;
        bool chunked;  // sent without a length
    };
    const Case cases[] = {
        {"/launcher/check", "application/x-www-form-urlencoded", false},
        {"/launcher/check", "text/plain", false},
        {"/launcher/check", "text/plain", true},
        {"/log/startgame", "application/x-www-form-urlencoded", false},
        {"/log/startgame", "application/octet-stream", false},
        {"/log/startgame", "application/octet-stream", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.type + (c.chunked ? " chunked" : " with its length"));
        auto cl = client(service);
        auto send = [&]() -> httplib::Result {
            if (!c.chunked) return cl.Post(c.path, big, c.type);
            return cl.Post(
                c.path,
                [&](size_t offset, httplib::DataSink& sink) {
                    if (offset >= big.size()) {
                        sink.done();
                        return true;
                    }
                    return sink.write(big.data() + offset, std::min<std::size_t>(65536, big.size() - offset));
                },
                c.type);
        };
        const auto res = send();
        // A client that is still sending when the refusal comes may see the
        // connection closed instead; either way nothing is taken.
        if (res) {
            EXPECT_EQ(res->status, 413);
        }
        EXPECT_EQ(bytesIn(events()), 0u);
        EXPECT_EQ(bytesIn(checks()), 0u);
    }
    // The declared-length refusals are answered: the client reads the 413.
    auto cl = client(service);
    const auto refused = cl.Post("/launcher/check", big, "text/plain");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413);

    // Ordinary requests are taken as before, on the same service.
    const auto check = cl.Post("/launcher/check", "rnd=abc&app=launcher&ver=1.0.0.0&cid=0&unid=0&qkey=",
                               "application/x-www-form-urlencoded");
    ASSERT_TRUE(check);
    EXPECT_EQ(check->status, 200);
    EXPECT_NE(readFile(checks()).find("\"rnd\":\"abc\""), std::string::npos);
    const auto report = cl.Post("/log/startgame", "cid=0&event=GLHR_STR&ver=1.0.0.1&ext=" + std::string(7000, 'e'),
                                "application/x-www-form-urlencoded");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->status, 200);
    EXPECT_EQ(testsupport::recordedEvents(events()), std::vector<std::string>{"GLHR_STR 1.0.0.1"});
    // The crash upload keeps its own, larger bound.
    const auto upload =
        cl.Post(kCrashPath, httplib::MultipartFormDataItems{{"f", std::string(1 << 20, 'c'), "big.log", ""}});
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->status, 200);
    EXPECT_EQ(crashFolders(), 1u);
}

TEST_F(UpdateServiceLimits, TooManyOrTooLongHeadersAreRefusedAndTheConnectionClosed) {
    UpdateService service({"--quiet", "--events", events().string()});
    ASSERT_FALSE(service.base().empty());
    const std::string body = "cid=0&event=GLHR_STR&ver=1.0.0.2";
    auto request = [&](std::size_t headers, std::size_t valueBytes) {
        std::string r = "POST /log/startgame HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (std::size_t i = 0; i < headers; ++i)
            r += "X-Filler-" + std::to_string(i) + ": " + std::string(valueBytes, 'v') + "\r\n";
        r += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nConnection: close\r\n\r\n" + body;
        return r;
    };
    struct Case {
        const char* what;
        std::size_t headers;
        std::size_t valueBytes;
        const char* status;
    };
    const Case cases[] = {
        {"a few headers", 10, 20, "HTTP/1.1 200 "},
        {"many short headers", 150, 1, "HTTP/1.1 431 "},
        {"a few long headers", 20, 1000, "HTTP/1.1 431 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawConnection conn(service);
        ASSERT_TRUE(conn.connected());
        ASSERT_TRUE(conn.send(request(c.headers, c.valueBytes)));
        std::string answer;
        EXPECT_TRUE(conn.readToEnd(answer)) << "the connection stayed open";
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer.substr(0, 200);
    }
    EXPECT_EQ(testsupport::recordedEvents(events()), std::vector<std::string>{"GLHR_STR 1.0.0.2"});

    // Header lines without end: the service stops reading and closes the
    // connection long before 32 MiB have gone.
    RawConnection flood(service);
    ASSERT_TRUE(flood.connected());
    ASSERT_TRUE(flood.send("GET /files/x HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    const std::string lines = [] {
        std::string s;
        for (int i = 0; i < 64; ++i) s += "X-Flood: " + std::string(1000, 'f') + "\r\n";
        return s;
    }();
    std::size_t sent = 0;
    while (sent < (32u << 20) && flood.send(lines)) sent += lines.size();
    EXPECT_LT(sent, 32u << 20) << "the service took every header line";
}

TEST_F(UpdateServiceLimits, SlowClientsAreCutOffAndDoNotStarveOrdinaryRequests) {
    UpdateService service({"--quiet", "--events", events().string()});
    ASSERT_FALSE(service.base().empty());
    // Eight clients that send their request a byte at a time, each byte well
    // within any per-read time-out, and never finish it.
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(std::make_unique<RawConnection>(service, std::chrono::seconds(120)));
        ASSERT_TRUE(slow.back()->connected());
        ASSERT_TRUE(slow.back()->send("P"));
    }
    std::atomic<bool> stop{false};
    std::vector<std::atomic<bool>> cut(slow.size());
    std::thread trickle([&] {
        const std::string head = "OST /log/startgame HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        // Gives up after two minutes: the way out when the service never cuts.
        for (std::size_t step = 0; step < 240 && !stop.load(); ++step) {
            bool allCut = true;
            for (std::size_t i = 0; i < slow.size(); ++i) {
                if (cut[i].load()) continue;
                const char byte = step < head.size() ? head[step] : 'x';
                if (!slow[i]->send(std::string(1, byte))) cut[i].store(true);
                allCut = allCut && cut[i].load();
            }
            if (allCut) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });

    // An ordinary check is answered while all eight are still sending.
    auto cl = client(service);
    const auto check = cl.Post("/launcher/check", "rnd=r1&app=launcher&ver=1.0.0.0&cid=0&unid=0&qkey=",
                               "application/x-www-form-urlencoded");
    EXPECT_TRUE(check) << "no answer while slow clients were connected";
    if (check) {
        EXPECT_EQ(check->status, 200);
        EXPECT_NE(check->body.find("\"rnd\":\"r1\""), std::string::npos);
    }
    for (std::size_t i = 0; i < slow.size(); ++i) EXPECT_FALSE(cut[i].load()) << "slow client " << i << " cut early";

    // And each slow client is cut off in the end, although it never stopped
    // sending: the service closes every connection (within a minute, the
    // way out here).
    std::vector<pollfd> open;
    for (const auto& conn : slow) open.push_back({conn->fd(), POLLIN, 0});
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!open.empty() && std::chrono::steady_clock::now() < giveUp) {
        if (::poll(open.data(), open.size(), 1000) <= 0) continue;
        for (std::size_t i = open.size(); i-- > 0;) {
            if (open[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(open[i].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) open.erase(open.begin() + static_cast<long>(i));
        }
    }
    EXPECT_TRUE(open.empty()) << open.size() << " slow clients still connected";
    stop.store(true);
    trickle.join();
    EXPECT_EQ(bytesIn(events()), 0u);
}

TEST_F(UpdateServiceLimits, ThePackagesMd5IsComputedOncePerVersionOfTheFile) {
    const fs::path files = home.root() / "packages";
    fs::create_directories(files);
    const fs::path package = files / "client.zip";
    const std::string first = testsupport::patternBytes(300000, 1u);
    const std::string second = testsupport::patternBytes(300000, 2u);
    const std::string third = testsupport::patternBytes(300001, 3u);
    testsupport::writeFile(package, first);
    UpdateService service({"--quiet", "--files", files.string(), "--package", "client.zip"});
    ASSERT_FALSE(service.base().empty());
    auto cl = client(service);
    auto md5Answered = [&] {
        const auto res = cl.Post("/launcher/check", "rnd=r&app=launcher&ver=0&cid=0&unid=0&qkey=",
                                 "application/x-www-form-urlencoded");
        if (!res || res->status != 200) return std::string("no answer");
        const std::size_t at = res->body.find("\"md5\":\"");
        if (at == std::string::npos) return res->body;
        return res->body.substr(at + 7, res->body.find('"', at + 7) - (at + 7));
    };
    EXPECT_EQ(md5Answered(), testsupport::md5Hex(first));

    // The same file, same size and modification time, its bytes changed in
    // place behind the service's back: the digest of that version is the one
    // already known, so the service does not read the file again.
    struct stat before {};
    ASSERT_EQ(::stat(package.c_str(), &before), 0);
    {
        const int fd = ::open(package.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, second.data(), second.size(), 0), static_cast<ssize_t>(second.size()));
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(fd, times), 0);
        ::close(fd);
    }
    EXPECT_EQ(md5Answered(), testsupport::md5Hex(first));
    EXPECT_EQ(md5Answered(), testsupport::md5Hex(first));

    // A new modification time is a new version.
    const timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 10, before.st_mtim.tv_nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, package.c_str(), later, 0), 0);
    EXPECT_EQ(md5Answered(), testsupport::md5Hex(second));

    // So is a file published by rename, and one of another size.
    testsupport::writeFile(files / "client.zip.part", third);
    fs::rename(files / "client.zip.part", package);
    EXPECT_EQ(md5Answered(), testsupport::md5Hex(third));
    fs::remove(package);
    EXPECT_EQ(md5Answered(), "");
}

}  // namespace
