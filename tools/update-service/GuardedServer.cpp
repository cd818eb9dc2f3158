#include "GuardedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>

namespace guardedserver {

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices so that a stopping server ends them soon.
constexpr std::chrono::milliseconds kSlice{200};

enum class Refusal { None, HeadTooLarge, BodyTooLarge, BadLength, TimedOut };

// One accepted connection as the library's stream: reads are buffered, the
// bytes handed out are counted against the head and body bounds, and every
// wait for input ends at the request's deadline.
class Connection final : public httplib::Stream {
public:
    Connection(socket_t fd, const Limits& limits, const std::atomic<socket_t>& listener, time_t readTimeoutSec,
               time_t writeTimeoutSec)
        : m_fd(fd),
          m_limits(limits),
          m_listener(listener),
          m_readTimeout(std::chrono::seconds(readTimeoutSec)),
          m_writeTimeout(std::chrono::seconds(writeTimeoutSec)) {}

    // Waits up to `idle` for the next request's first byte. False when none
    // came, the client closed, or the server stops.
    bool waitForRequest(std::chrono::milliseconds idle) {
        if (m_pos < m_len) return true;
        m_deadline = Clock::now() + idle;
        return fill(false);
    }

    void beginRequest() {
        m_refusal = Refusal::None;
        m_inHead = true;
        m_line = 0;
        m_lineBytes = 0;
        m_lineStartsWithCR = false;
        m_headerBytes = 0;
        m_bodyBytes = 0;
        m_bodyBudget = 0;
        m_statusBeyond = 413;
        m_deadline = Clock::now() + m_limits.requestTime;
    }

    // The body this request may send, the time a declared length of it adds
    // to the deadline, and the answer to a longer one.
    void allowBody(std::size_t budget, std::size_t declared, int statusBeyond) {
        m_bodyBudget = budget;
        m_statusBeyond = statusBeyond;
        m_deadline +=
            std::chrono::milliseconds(declared / std::max<std::size_t>(1, m_limits.slowestBodyBytesPerSecond / 1000));
    }
    void refuse(Refusal why) { m_refusal = why; }
    Refusal refusal() const { return m_refusal; }
    int statusBeyond() const { return m_statusBeyond; }

    // Closes the connection; after a request refused for its size, first
    // reads and drops what the client still sends (bounded), so that the
    // answer is not lost to a reset.
    void close() {
        if (m_refusal != Refusal::None && m_refusal != Refusal::TimedOut) {
            ::shutdown(m_fd, SHUT_WR);
            const auto until = Clock::now() + m_limits.lingerTime;
            std::size_t dropped = 0;
            char buf[16384];
            while (dropped < m_limits.lingerBytes && m_listener.load() != INVALID_SOCKET) {
                const auto now = Clock::now();
                if (now >= until) break;
                const auto wait = std::min<Clock::duration>(until - now, kSlice);
                pollfd p{m_fd, POLLIN, 0};
                const int r =
                    ::poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) break;
                if (r == 0) continue;
                const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                dropped += static_cast<std::size_t>(n);
            }
        }
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
    }

    bool is_readable() const override {
        if (m_pos < m_len) return true;
        pollfd p{m_fd, POLLIN, 0};
        const auto left = std::min<Clock::duration>(m_readTimeout, m_deadline - Clock::now());
        if (left <= Clock::duration::zero()) return false;
        return ::poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count())) > 0;
    }

    bool is_writable() const override {
        pollfd p{m_fd, POLLOUT, 0};
        int r;
        do {
            r = ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(m_writeTimeout).count()));
        } while (r < 0 && errno == EINTR);
        return r > 0 && (p.revents & (POLLERR | POLLHUP)) == 0;
    }

    ssize_t read(char* ptr, size_t size) override {
        if (size == 0) return 0;
        if (m_refusal != Refusal::None) return -1;
        if (m_pos == m_len && !fill(true)) return -1;
        std::size_t n = std::min(size, m_len - m_pos);
        std::size_t given = 0;
        // The head is counted byte by byte (the library reads it so), the
        // body in one go.
        while (m_inHead && given < n) {
            if (!countHeadByte(m_buf[m_pos + given])) return -1;
            ++given;
        }
        if (given < n) {
            if (n - given > m_bodyBudget - std::min(m_bodyBudget, m_bodyBytes)) {
                m_refusal = Refusal::BodyTooLarge;
                if (given == 0) return -1;
                n = given;
            } else {
                m_bodyBytes += n - given;
            }
        }
        std::copy(m_buf + m_pos, m_buf + m_pos + n, ptr);
        m_pos += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        ssize_t n;
        do {
            n = ::send(m_fd, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) describe(addr, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) describe(addr, ip, port);
    }
    socket_t socket() const override { return m_fd; }

private:
    static void describe(const sockaddr_storage& addr, std::string& ip, int& port) {
        char text[INET6_ADDRSTRLEN] = {};
        if (addr.ss_family == AF_INET) {
            const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        ip = text;
    }

    // False when the head passes a bound. The head ends with an empty line
    // ("\r\n") after the request line.
    bool countHeadByte(char c) {
        ++m_lineBytes;
        if (m_lineBytes == 1) m_lineStartsWithCR = c == '\r';
        if (m_line == 0) {
            if (m_lineBytes > m_limits.requestLineBytes) return refuseHead();
        } else if (++m_headerBytes > m_limits.headerBytes) {
            return refuseHead();
        }
        if (c != '\n') return true;
        if (m_line > 0 && m_lineBytes == 2 && m_lineStartsWithCR) {
            m_inHead = false;
            return true;
        }
        ++m_line;
        m_lineBytes = 0;
        if (m_line - 1 > m_limits.headerLines) return refuseHead();
        return true;
    }
    bool refuseHead() {
        m_refusal = Refusal::HeadTooLarge;
        return false;
    }

    // Refills the empty buffer. False at the deadline, after a read time-out
    // (`perRead`), at the end of the input or when the server stops.
    bool fill(bool perRead) {
        const auto readUntil = Clock::now() + m_readTimeout;
        for (;;) {
            if (m_listener.load() == INVALID_SOCKET) return false;
            const auto now = Clock::now();
            if (now >= m_deadline) {
                if (perRead) m_refusal = Refusal::TimedOut;
                return false;
            }
            if (perRead && now >= readUntil) return false;
            auto wait = std::min<Clock::duration>(m_deadline - now, kSlice);
            if (perRead) wait = std::min<Clock::duration>(wait, readUntil - now);
            pollfd p{m_fd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
            if (r < 0 && errno != EINTR) return false;
            if (r <= 0) continue;
            const ssize_t n = ::recv(m_fd, m_buf, sizeof m_buf, 0);
            if (n > 0) {
                m_pos = 0;
                m_len = static_cast<std::size_t>(n);
                return true;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) return false;
        }
    }

    socket_t m_fd;
    const Limits& m_limits;
    const std::atomic<socket_t>& m_listener;
    const std::chrono::seconds m_readTimeout;
    const std::chrono::seconds m_writeTimeout;

    char m_buf[16384];
    std::size_t m_pos = 0;
    std::size_t m_len = 0;

    Clock::time_point m_deadline{};
    Refusal m_refusal = Refusal::None;
    bool m_inHead = true;
    std::size_t m_line = 0;
    std::size_t m_lineBytes = 0;
    bool m_lineStartsWithCR = false;
    std::size_t m_headerBytes = 0;
    std::size_t m_bodyBytes = 0;
    std::size_t m_bodyBudget = 0;
    int m_statusBeyond = 413;
};

// The connection a worker serves, for the handlers that the library calls
// without it.
thread_local Connection* t_connection = nullptr;

}  // namespace

GuardedServer::GuardedServer(const Limits& limits) : m_limits(limits) {
    const std::size_t workers = m_limits.workers;
    new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    set_payload_max_length(0);

    // Runs once the head is read and before any of the body is.
    set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        Connection* conn = t_connection;
        if (conn == nullptr) return HandlerResponse::Unhandled;
        // A path without a bound takes no body: it has no route that would.
        const auto it = m_bodyLimits.find(req.path);
        const std::size_t limit = it == m_bodyLimits.end() ? 0 : it->second;
        const int statusBeyond = it == m_bodyLimits.end() ? 404 : 413;
        std::size_t declared = 0;
        if (req.has_header("Content-Length")) {
            const std::string text = req.get_header_value("Content-Length");
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), declared);
            if (ec == std::errc::result_out_of_range) {
                declared = SIZE_MAX;
            } else if (ec != std::errc() || end != text.data() + text.size()) {
                conn->refuse(Refusal::BadLength);
                res.status = 400;
                return HandlerResponse::Handled;
            }
        }
        conn->allowBody(limit, declared, statusBeyond);
        if (declared > limit) {
            conn->refuse(Refusal::BodyTooLarge);
            res.status = statusBeyond;
            return HandlerResponse::Handled;
        }
        return HandlerResponse::Unhandled;
    });

    // The library answers a head or body it could not read with 400; the
    // reason is known here.
    set_error_handler(HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        Connection* conn = t_connection;
        if (conn == nullptr || conn->refusal() == Refusal::None) return HandlerResponse::Unhandled;
        switch (conn->refusal()) {
            case Refusal::HeadTooLarge:
                res.status = 431;
                break;
            case Refusal::BodyTooLarge:
                res.status = conn->statusBeyond();
                break;
            case Refusal::TimedOut:
                res.status = 408;
                break;
            case Refusal::BadLength:
            case Refusal::None:
                break;
        }
        res.set_header("Connection", "close");
        return HandlerResponse::Handled;
    }));
}

void GuardedServer::setBodyLimit(const std::string& path, std::size_t bytes) {
    m_bodyLimits[path] = bytes;
    std::size_t largest = 0;
    for (const auto& [p, b] : m_bodyLimits) largest = std::max(largest, b);
    set_payload_max_length(largest);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    Connection conn(sock, m_limits, svr_sock_, read_timeout_sec_, write_timeout_sec_);
    t_connection = &conn;
    bool ok = false;
    for (std::size_t left = keep_alive_max_count_; left > 0; --left) {
        if (!conn.waitForRequest(std::chrono::seconds(keep_alive_timeout_sec_))) break;
        conn.beginRequest();
        bool closed = false;
        ok = process_request(conn, left == 1, closed, nullptr);
        if (!ok || closed || conn.refusal() != Refusal::None) break;
    }
    t_connection = nullptr;
    conn.close();
    return ok;
}

}  // namespace guardedserver
