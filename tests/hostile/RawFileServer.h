// A loopback file server written on raw sockets, for faults that a library
// server cannot be made to commit: it serves one body (HEAD, whole GET, one
// byte range per GET, keep-alive) on 127.0.0.1 at a free port, a thread per
// connection, and misbehaves on the range that starts at a given byte:
//
//   ResetMidPiece      the headers and half the range, then a TCP reset
//   StallAfterHeaders  the headers, then nothing until the client gives up
//   Trickle            the headers, then one byte a second
//
// `times` counts the faulty answers (-1: every one). Every request is
// recorded. The destructor ends every connection and joins its thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/ScriptedServer.h"

namespace hostile {

class RawFileServer {
public:
    enum class Fault { None, ResetMidPiece, StallAfterHeaders, Trickle };

    RawFileServer(std::string body, Fault fault, uint64_t faultStart, int times = -1)
        : m_body(std::move(body)), m_fault(fault), m_faultStart(faultStart), m_faultsLeft(times) {
        m_listen = testsupport::listenOnLoopback(&m_port);
        EXPECT_EQ(::pipe2(m_wake, O_CLOEXEC), 0);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }
    ~RawFileServer() {
        const char c = 'x';
        (void)::write(m_wake[1], &c, 1);
        m_acceptor.join();
        for (std::thread& t : m_connections) t.join();
        ::close(m_listen);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
    RawFileServer(const RawFileServer&) = delete;
    RawFileServer& operator=(const RawFileServer&) = delete;

    std::string url(const std::string& name = "client.zip") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name;
    }
    // "HEAD", "GET" or "GET <start>-<end>" for each request so far.
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_requests;
    }
    std::size_t count(const std::string& request) const {
        const auto all = requests();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), request));
    }
    int faultsCommitted() const { return m_faultsCommitted.load(); }

private:
    // Waits for `fd` to be readable, the stop pipe or `timeoutMs` (-1: no
    // limit): 1 readable, 0 timed out, -1 stopping.
    int waitReadable(int fd, int timeoutMs = -1) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        int r = 0;
        while ((r = ::poll(p, 2, timeoutMs)) < 0) {
        }
        if (p[1].revents & POLLIN) return -1;
        return r == 0 ? 0 : 1;
    }

    void acceptLoop() {
        for (;;) {
            if (waitReadable(m_listen) < 0) return;
            const int conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            m_connections.emplace_back([this, conn] {
                serve(conn);
                ::close(conn);
            });
        }
    }

    bool sendAll(int conn, const char* data, std::size_t size) {
        std::size_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::send(conn, data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Takes one fault if any is left for a range starting at `start`.
    bool takeFault(uint64_t start) {
        if (m_fault == Fault::None || start != m_faultStart) return false;
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_faultsLeft == 0) return false;
        if (m_faultsLeft > 0) --m_faultsLeft;
        ++m_faultsCommitted;
        return true;
    }

    void serve(int conn) {
        std::string pending;
        char buf[4096];
        for (;;) {
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                if (waitReadable(conn) <= 0) return;
                const ssize_t n = ::read(conn, buf, sizeof buf);
                if (n <= 0) return;
                pending.append(buf, static_cast<std::size_t>(n));
            }
            const std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);
            if (!answer(conn, head)) return;
        }
    }

    // One request; false when the connection is to end.
    bool answer(int conn, const std::string& head) {
        const bool isHead = head.rfind("HEAD ", 0) == 0;
        const std::size_t size = m_body.size();
        std::smatch m;
        const bool ranged = std::regex_search(head, m, std::regex("\r\nRange: bytes=(\\d+)-(\\d*)", std::regex::icase));
        uint64_t start = 0, last = size == 0 ? 0 : size - 1;
        if (ranged) {
            start = std::stoull(m[1]);
            if (m[2].length() > 0) last = std::min<uint64_t>(std::stoull(m[2]), size - 1);
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_requests.push_back(isHead ? "HEAD" : ranged ? "GET " + std::to_string(start) + "-" + m[2].str() : "GET");
        }
        if (isHead) {
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                                      "\r\nAccept-Ranges: bytes\r\nContent-Type: application/zip\r\n\r\n";
            return sendAll(conn, reply.data(), reply.size());
        }
        if (ranged && start >= size) {
            const std::string reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                                      std::to_string(size) + "\r\nContent-Length: 0\r\n\r\n";
            return sendAll(conn, reply.data(), reply.size());
        }
        const std::size_t length = static_cast<std::size_t>(last - start + 1);
        std::string reply = ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(start) +
                                         "-" + std::to_string(last) + "/" + std::to_string(size) + "\r\n"
                                   : std::string("HTTP/1.1 200 OK\r\n");
        reply += "Content-Length: " + std::to_string(length) + "\r\nContent-Type: application/zip\r\n\r\n";
        const char* bytes = m_body.data() + start;
        if (!takeFault(start)) {
            reply.append(bytes, length);
            return sendAll(conn, reply.data(), reply.size());
        }
        switch (m_fault) {
            case Fault::ResetMidPiece: {
                reply.append(bytes, length / 2);
                sendAll(conn, reply.data(), reply.size());
                // A zero linger turns the close into a reset.
                const linger reset{1, 0};
                ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                return false;
            }
            case Fault::StallAfterHeaders:
                sendAll(conn, reply.data(), reply.size());
                // Nothing more, until the client hangs up or the server stops.
                while (waitReadable(conn) > 0) {
                    char sink[1024];
                    if (::read(conn, sink, sizeof sink) <= 0) break;
                }
                return false;
            case Fault::Trickle:
                if (!sendAll(conn, reply.data(), reply.size())) return false;
                for (std::size_t i = 0; i < length; ++i) {
                    if (!sendAll(conn, bytes + i, 1)) return false;
                    // The pace of the fault, not a wait for anything: a
                    // hang-up or the stop ends it at once.
                    const int r = waitReadable(conn, 1000);
                    if (r < 0) return false;
                    if (r > 0) {
                        char sink[1024];
                        if (::read(conn, sink, sizeof sink) <= 0) return false;
                    }
                }
                return true;
            case Fault::None:
                break;
        }
        return false;
    }

    std::string m_body;
    Fault m_fault;
    uint64_t m_faultStart;
    int m_faultsLeft;
    std::atomic<int> m_faultsCommitted{0};
    int m_listen = -1;
    int m_port = 0;
    int m_wake[2] = {-1, -1};
    mutable std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::thread m_acceptor;
    std::list<std::thread> m_connections;  // touched by the acceptor, then the destructor
};

}  // namespace hostile
