// The sender's upload on the wire: one multipart request whose file parts are
// marked binary when the report asks for it, https that trusts no unknown
// certificate, and an upload that gets no answer ends by its time-out or a
// raised stop token rather than hanging.
#include "Upload.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "SilentUploadService.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPath = "/index.php/crashReport/uploadExternal";

// A listening socket on a free loopback port, which goes into `port`.
int listenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// A loopback port that takes connections into its backlog and never reads or
// answers them.
class SilentPeer {
public:
    SilentPeer() {
        m_fd = listenOnLoopback(m_port);
    }
    ~SilentPeer() { ::close(m_fd); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + kPath; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// Records every request's raw bytes and answers {"status":1,"id":"x1"}: a
// plain socket, so the test sees exactly what went over the wire.
class RecordingService {
public:
    RecordingService() {
        m_fd = listenOnLoopback(m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~RecordingService() {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + kPath; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_requests;
    }

private:
    void serve() {
        for (;;) {
            const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            std::string request;
            std::size_t need = std::string::npos;
            char buf[65536];
            while (need == std::string::npos || request.size() < need) {
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
                const std::size_t head = request.find("\r\n\r\n");
                const std::size_t lenAt = request.find("Content-Length: ");
                if (need == std::string::npos && head != std::string::npos && lenAt != std::string::npos)
                    need = head + 4 + std::stoul(request.substr(lenAt + 16));
            }
            // Recorded before the answer goes out: the client may look at
            // the record as soon as it has the answer.
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_requests.push_back(request);
            }
            const std::string reply = "{\"status\":1,\"id\":\"x1\"}";
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                       std::to_string(reply.size()) + "\r\nConnection: close\r\n\r\n" + reply;
            ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(c);
        }
    }

    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(Upload, OneMultipartRequestWithBinaryPartsWhenAsked) {
    const std::vector<crashsender::UploadPart> parts = {
        {"app", "", "morvel3_launcher"},
        {"attachment", "log_glauncher_20261210.log", std::string("a\0b\r\n\xff", 6)},
    };
    for (const bool binary : {true, false}) {
        SCOPED_TRACE(binary ? "binary" : "default encoding");
        RecordingService service;
        const auto r = crashsender::uploadReport(service.url(), parts, binary);
        EXPECT_TRUE(r.ok) << r.message;
        EXPECT_EQ(r.httpStatus, 200);
        EXPECT_EQ(r.serverId, "x1");
        ASSERT_EQ(service.requests().size(), 1u);
        const std::string body = service.requests()[0];
        EXPECT_EQ(body.rfind(std::string("POST ") + kPath + " HTTP/1.1\r\n", 0), 0u) << body;
        EXPECT_NE(body.find("\r\nContent-Type: multipart/form-data; boundary="), std::string::npos) << body;
        EXPECT_NE(body.find("Content-Disposition: form-data; name=\"app\"\r\n\r\nmorvel3_launcher\r\n"),
                  std::string::npos)
            << body;
        EXPECT_NE(body.find("Content-Disposition: form-data; name=\"attachment\"; "
                            "filename=\"log_glauncher_20261210.log\"\r\n"),
                  std::string::npos)
            << body;
        EXPECT_NE(body.find(std::string("\r\n\r\na\0b\r\n\xff\r\n", 10)), std::string::npos);
        // Only the file part is marked, and only when asked.
        EXPECT_EQ(count(body, "Content-Transfer-Encoding: binary\r\n"), binary ? 1u : 0u) << body;
    }
}

// An https peer with a certificate nobody vouches for is refused: the
// upload verifies the peer and the host name, and nothing turns that off.
TEST(Upload, HttpsRefusesAnUntrustedCertificate) {
    testsupport::TempHome home;
    const fs::path cert = home.root() / "cert.pem";
    const fs::path key = home.root() / "key.pem";
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                             key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    // A free port: bound, read and let go just before the server takes it.
    int port = 0;
    {
        SilentPeer probe;
        port = std::stoi(probe.url().substr(std::string("http://127.0.0.1:").size()));
    }
    const pid_t server = ::fork();
    if (server == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, STDIN_FILENO);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDERR_FILENO);
        ::execlp("openssl", "openssl", "s_server", "-quiet", "-www", "-accept", std::to_string(port).c_str(), "-cert",
                 cert.c_str(), "-key", key.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(server, 0);
    // Wait (bounded) until it listens.
    bool listening = false;
    for (int i = 0; i < 500 && !listening; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        listening = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(listening);
    const auto r = crashsender::uploadReport("https://127.0.0.1:" + std::to_string(port) + kPath,
                                             {{"app", "", "x"}}, true);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("certificate"), std::string::npos) << r.message;
}

TEST(Upload, NoAnswerEndsByTimeOut) {
    SilentPeer peer;
    const std::vector<crashsender::UploadPart> parts = {{"app", "", "x"}};

    const auto timedOut = crashsender::uploadReport(peer.url(), parts, true, {}, {5, 60, 1});
    EXPECT_FALSE(timedOut.ok);
    EXPECT_EQ(timedOut.httpStatus, 0);
    EXPECT_EQ(timedOut.message.rfind("The report could not be sent: ", 0), 0u) << timedOut.message;
}

// The stop token ends an upload the service holds unanswered, and one that
// was cancelled before it started. The upload's own bounds are far beyond
// what the cancel takes, so ending by them gives another message.
TEST(Upload, RaisedStopTokenEndsTheUploadAsCancelled) {
    const std::vector<crashsender::UploadPart> parts = {{"app", "", "x"}};
    for (const bool raisedFirst : {false, true}) {
        SCOPED_TRACE(raisedFirst ? "raised before the upload" : "raised while the service holds the upload");
        sendertest::SilentUploadService service;
        std::stop_source stop;
        if (raisedFirst) stop.request_stop();
        crashsender::UploadResult cancelled;
        std::thread sender([&] {
            cancelled = crashsender::uploadReport(service.url(), parts, true, stop.get_token(), {5, 60, 60});
        });
        const bool held = raisedFirst || service.waitForUpload();
        stop.request_stop();
        sender.join();
        EXPECT_TRUE(held) << "the upload never reached the service";
        EXPECT_FALSE(cancelled.ok);
        EXPECT_EQ(cancelled.httpStatus, 0);
        EXPECT_EQ(cancelled.message, "Sending was cancelled.");
    }
}

}  // namespace
