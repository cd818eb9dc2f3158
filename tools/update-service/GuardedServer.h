// cpp-httplib's server with the bounds a server open to anyone needs, which
// the library (0.11, built as a shared library, so its compile-time limits
// cannot be changed here) does not set itself:
//
// - the request line is at most 8 KiB (the library's own URI bound, checked
//   only once the whole line is in memory) and the header lines at most 100
//   and 16 KiB together; beyond that the request is answered 431 (or, for the
//   request line, the connection is closed) without reading further;
// - each path that takes a body has its own bound (setBodyLimit): a declared
//   length beyond it is answered 413 before any of the body is read, a body
//   sent without a length (chunked) is cut with 413 where it passes the
//   bound. A body sent to any other path is answered 404 the same way;
// - a request must arrive whole (head and body) within a deadline that runs
//   from its first byte: 15 s, plus one second per 64 KiB of declared body.
//   Beyond it the request is answered 408 (or, before its first line is
//   complete, the connection is closed). Each read still waits at most the
//   read time-out (5 s);
// - 64 workers, so a handful of slow clients cannot hold them all.
//
// A refused request's connection is closed after the answer; what the client
// still sends is read and dropped for at most 2 s and 4 MiB, so that it can
// read the answer instead of a reset.
//
// Threads: configure before listening; the handlers run on the workers.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace guardedserver {

struct Limits {
    std::size_t requestLineBytes = 8 * 1024;
    std::size_t headerLines = 100;
    std::size_t headerBytes = 16 * 1024;
    std::chrono::milliseconds requestTime{15000};
    std::size_t slowestBodyBytesPerSecond = 64 * 1024;
    std::size_t workers = 64;
    std::chrono::milliseconds lingerTime{2000};
    std::size_t lingerBytes = 4u << 20;
};

class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(const Limits& limits = Limits{});

    // The largest body taken by requests to exactly `path`.
    void setBodyLimit(const std::string& path, std::size_t bytes);

private:
    bool process_and_close_socket(socket_t sock) override;

    Limits m_limits;
    std::map<std::string, std::size_t> m_bodyLimits;
};

}  // namespace guardedserver
