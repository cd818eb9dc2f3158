// A scriptable HTTP file server for tests, in-process on 127.0.0.1 with a
// free port (cpp-httplib). It serves bodies with HEAD and single byte ranges
// ("Range: bytes=S-E", the end clamped to the body) and records every
// request, and it can misbehave on purpose:
//
//   failRange(start, status, times)  answer `status` to GETs of range `start`
//   dropRange(start, n, times)       announce the full length, send n bytes,
//                                    then close the connection
//   holdRange(start)                 never answer that range (until released)
//   setNeverAnswer(true)             never answer anything (until released)
//   setIgnoreRange(true)             answer 200 with the whole body
//   misanswerRange(start, m, times)  answer a 206 that differs from the one
//                                    asked for as `m` says (see Misanswer)
//   setHeadStatus / setHeadWithoutLength / setHeadLength
//   setDrip(bytes, interval)         send bodies slowly
//
// `times` counts the requests a fault applies to (-1: all of them). Held
// requests are let go by releaseHeld() and by the destructor, which answer
// them with 503. Every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testsupport {

class FakeHttpServer {
public:
    struct Request {
        std::string method;
        std::string path;
        std::string range;  // the Range header as sent, empty when none
    };

    FakeHttpServer();
    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;

    void serve(const std::string& path, std::string body);

    // A 206 that is not the answer asked for. All deltas count from the
    // honest answer to the requested range; the bytes sent are always the
    // body's own bytes at the offset the header names.
    struct Misanswer {
        int64_t rangeShift = 0;   // header and body start this many bytes later
        int64_t lengthDelta = 0;  // header and body cover this many bytes more
        int64_t totalDelta = 0;   // the total in Content-Range is off by this much
        int64_t bodyDelta = 0;    // the body holds this many bytes more than the header says
    };

    void failRange(uint64_t start, int status, int times = -1);
    void misanswerRange(uint64_t start, Misanswer how, int times = -1);
    void dropRange(uint64_t start, std::size_t afterBytes, int times = 1);
    void holdRange(uint64_t start);
    void setNeverAnswer(bool never);
    void releaseHeld();
    void setIgnoreRange(bool ignore);
    void setHeadStatus(int status);
    void setHeadWithoutLength(bool without);
    // HEAD announces `length` instead of the body's size (-1: the size).
    void setHeadLength(int64_t length);
    void setDrip(std::size_t bytes, std::chrono::milliseconds interval);

    std::vector<Request> requests() const;
    std::size_t countRequests(const std::string& method) const;
    // Waits until a recorded request satisfies `match`; false after `timeout`.
    bool waitForRequest(const std::function<bool(const Request&)>& match,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    struct Fault {
        int status = 0;
        std::size_t dropAfter = 0;
        bool drop = false;
        bool hold = false;
        bool misanswer = false;
        Misanswer how;
        int times = -1;
    };

    void handle(const httplib::Request& req, httplib::Response& res);
    // Waits while the request must be held; false when the server shuts down.
    bool waitWhileHeld(std::unique_lock<std::mutex>& lock, uint64_t start, bool hasRange);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_listener;
    int m_port = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::shared_ptr<const std::string>> m_bodies;
    std::map<uint64_t, Fault> m_faults;
    std::vector<Request> m_requests;
    bool m_ignoreRange = false;
    bool m_neverAnswer = false;
    int m_headStatus = 200;
    bool m_headWithoutLength = false;
    int64_t m_headLength = -1;
    std::size_t m_dripBytes = 0;
    std::chrono::milliseconds m_dripInterval{0};
    uint64_t m_releaseGeneration = 0;
    bool m_shuttingDown = false;
};

}  // namespace testsupport
