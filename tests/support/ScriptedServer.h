// A raw-byte loopback HTTP peer for tests that must see and script the exact
// bytes: one connection at a time on 127.0.0.1, a free port.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;

inline void closeSocket(Socket s) { ::closesocket(s); }
inline int pollSockets(pollfd* p, unsigned n, int timeoutMs) { return ::WSAPoll(p, n, timeoutMs); }
inline long recvSome(Socket s, char* buf, std::size_t n) { return ::recv(s, buf, static_cast<int>(n), 0); }
inline long sendSome(Socket s, const char* buf, std::size_t n) { return ::send(s, buf, static_cast<int>(n), 0); }
inline void shutdownSending(Socket s) { ::shutdown(s, SD_SEND); }

// Winsock wants its start-up call before the first socket; it counts calls,
// and this one is never undone.
inline void startSockets() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    EXPECT_TRUE(started);
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;

inline void closeSocket(Socket s) { ::close(s); }
inline int pollSockets(pollfd* p, nfds_t n, int timeoutMs) { return ::poll(p, n, timeoutMs); }
inline long recvSome(Socket s, char* buf, std::size_t n) { return ::read(s, buf, n); }
inline long sendSome(Socket s, const char* buf, std::size_t n) { return ::send(s, buf, n, MSG_NOSIGNAL); }
inline void shutdownSending(Socket s) { ::shutdown(s, SHUT_WR); }
inline void startSockets() {}
#endif

// True when `s` has something to read (or has hung up) within `timeoutMs`.
inline bool socketReadable(Socket s, int timeoutMs) {
    pollfd p{s, POLLIN, 0};
    return pollSockets(&p, 1, timeoutMs) > 0;
}

// A listening socket on 127.0.0.1 at a port the system picks (stored in
// `*port`), for the raw servers of the tests.
inline Socket listenOnLoopback(int* port) {
    startSockets();
#ifdef _WIN32
    const Socket fd = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
#else
    const Socket fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
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

// The two ends of a connection on loopback, for waking a thread that waits
// in poll: Winsock polls sockets only, so a pipe cannot serve.
inline void wakePair(Socket ends[2]) {
#ifdef _WIN32
    int port = 0;
    const Socket listening = listenOnLoopback(&port);
    ends[1] = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(port));
    EXPECT_EQ(::connect(ends[1], reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ends[0] = ::accept(listening, nullptr, nullptr);
    EXPECT_NE(ends[0], kNoSocket);
    closeSocket(listening);
#else
    int fds[2] = {-1, -1};
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ends[0] = fds[0];
    ends[1] = fds[1];
#endif
}

inline void wake(Socket end) {
    const char c = 'x';
#ifdef _WIN32
    (void)::send(end, &c, 1, 0);
#else
    (void)::write(end, &c, 1);
#endif
}

// A loopback HTTP server, one connection at a time. The script gets the raw
// request and returns the raw response; an empty response holds the
// connection open, unanswered, until the client gives up or the server stops.
class ScriptedServer {
public:
    using Script = std::function<std::string(const std::string& request)>;

    explicit ScriptedServer(Script script) : m_script(std::move(script)) {
        m_listen = listenOnLoopback(&m_port);
        wakePair(m_wake);
        m_thread = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        wake(m_wake[1]);
        m_thread.join();
        closeSocket(m_listen);
        closeSocket(m_wake[0]);
        closeSocket(m_wake[1]);
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
    bool waitReadable(Socket fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        while (pollSockets(p, 2, -1) < 0) {
        }
        return (p[1].revents & POLLIN) == 0;
    }

    void run() {
        for (;;) {
            if (!waitReadable(m_listen)) return;
#ifdef _WIN32
            const Socket conn = ::accept(m_listen, nullptr, nullptr);
#else
            const Socket conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
#endif
            if (conn == kNoSocket) continue;
            const bool go = serve(conn);
            closeSocket(conn);
            if (!go) return;
        }
    }

    bool serve(Socket conn) {
        std::string request;
        std::size_t headerEnd = std::string::npos;
        std::size_t total = 0;
        char buf[4096];
        for (;;) {
            if (headerEnd != std::string::npos && request.size() >= total) break;
            if (!waitReadable(conn)) return false;
            const long n = recvSome(conn, buf, sizeof buf);
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
                if (recvSome(conn, buf, sizeof buf) <= 0) return true;
            }
            return false;
        }
        std::size_t sent = 0;
        while (sent < response.size()) {
            const long n = sendSome(conn, response.data() + sent, response.size() - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        shutdownSending(conn);
        return true;
    }

    Script m_script;
    Socket m_listen = kNoSocket;
    int m_port = 0;
    Socket m_wake[2] = {kNoSocket, kNoSocket};
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

}  // namespace testsupport
