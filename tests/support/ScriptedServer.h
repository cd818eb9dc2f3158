// A raw-byte loopback HTTP peer for tests that must see and script the exact
// bytes: one connection at a time on 127.0.0.1, a free port.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A listening socket on 127.0.0.1 at a port the system picks (stored in
// `*port`), for the raw servers of the tests.
inline int listenOnLoopback(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(fd, 16), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

// A loopback HTTP server, one connection at a time. The script gets the raw
// request and returns the raw response; an empty response holds the
// connection open, unanswered, until the client gives up or the server stops.
class ScriptedServer {
public:
    using Script = std::function<std::string(const std::string& request)>;

    explicit ScriptedServer(Script script) : m_script(std::move(script)) {
        m_listen = listenOnLoopback(&m_port);
        EXPECT_EQ(::pipe2(m_wake, O_CLOEXEC), 0);
        m_thread = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        const char c = 'x';
        (void)::write(m_wake[1], &c, 1);
        m_thread.join();
        ::close(m_listen);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return m_port; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_requests;
    }
    // True once `n` requests have arrived; false after 30 s without them.
    bool waitForRequests(std::size_t n) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_arrived.wait_for(lock, std::chrono::seconds(30), [&] { return m_requests.size() >= n; });
    }

private:
    // Waits for `fd` or the stop pipe; false when stopping.
    bool waitReadable(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        while (::poll(p, 2, -1) < 0) {
        }
        return (p[1].revents & POLLIN) == 0;
    }

    void run() {
        for (;;) {
            if (!waitReadable(m_listen)) return;
            const int conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            const bool go = serve(conn);
            ::close(conn);
            if (!go) return;
        }
    }

    bool serve(int conn) {
        std::string request;
        std::size_t headerEnd = std::string::npos;
        std::size_t total = 0;
        char buf[4096];
        for (;;) {
            if (headerEnd != std::string::npos && request.size() >= total) break;
            if (!waitReadable(conn)) return false;
            const ssize_t n = ::read(conn, buf, sizeof buf);
            if (n <= 0) return true;
            request.append(buf, static_cast<std::size_t>(n));
            if (headerEnd == std::string::npos && (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
                std::size_t length = 0;
                std::smatch m;
                const std::string head = request.substr(0, headerEnd);
                if (std::regex_search(head, m, std::regex("\r\nContent-Length: (\\d+)", std::regex::icase))) {
                    length = std::stoul(m[1]);
                }
                total = headerEnd + 4 + length;
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_requests.push_back(request);
        }
        m_arrived.notify_all();
        const std::string response = m_script(request);
        if (response.empty()) {
            // Hold: read until the client hangs up or the server stops.
            while (waitReadable(conn)) {
                if (::read(conn, buf, sizeof buf) <= 0) return true;
            }
            return false;
        }
        std::size_t sent = 0;
        while (sent < response.size()) {
            const ssize_t n = ::send(conn, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(conn, SHUT_WR);
        return true;
    }

    Script m_script;
    int m_listen = -1;
    int m_port = 0;
    int m_wake[2] = {-1, -1};
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

}  // namespace testsupport
