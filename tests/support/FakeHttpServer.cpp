#include "support/FakeHttpServer.h"

#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "common/ByteRange.h"

namespace testsupport {

namespace {

constexpr const char* kOctets = "application/octet-stream";

// "bytes=S-E" or "bytes=S-"; false for anything else (served as no range).
bool parseRange(const std::string& header, uint64_t& start, uint64_t& end, bool& openEnd) {
    const std::string prefix = "bytes=";
    if (header.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string rangeSpec = header.substr(prefix.size());
    const auto dash = rangeSpec.find('-');
    if (dash == std::string::npos || dash == 0 || rangeSpec.find(',') != std::string::npos) return false;
    char* stop = nullptr;
    start = std::strtoull(rangeSpec.c_str(), &stop, 10);
    if (stop != rangeSpec.c_str() + dash) return false;
    openEnd = dash + 1 == rangeSpec.size();
    if (!openEnd) {
        end = std::strtoull(rangeSpec.c_str() + dash + 1, &stop, 10);
        if (*stop != '\0' || end < start) return false;
    }
    return true;
}

}  // namespace

FakeHttpServer::FakeHttpServer() : m_server(std::make_unique<httplib::Server>()) {
    m_server->new_task_queue = [] { return new httplib::ThreadPool(12); };
    m_server->set_keep_alive_max_count(100000);
    m_server->set_tcp_nodelay(true);
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
    m_server->Get(".*", handler);
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) throw std::runtime_error("FakeHttpServer: cannot bind 127.0.0.1");
    // The socket listens from bind on; connections made before the accept
    // loop runs wait in the backlog.
    m_listener = std::thread([this] { m_server->listen_after_bind(); });
    // httplib's stop() does nothing until its accept loop runs, and it offers
    // no way to wait for that but to look.
    for (int i = 0; i < 10000 && !m_server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

FakeHttpServer::~FakeHttpServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shuttingDown = true;
        m_changed.notify_all();
    }
    m_server->stop();
    if (m_listener.joinable()) m_listener.join();
}

std::string FakeHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void FakeHttpServer::serve(const std::string& path, std::string body) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bodies[path] = std::make_shared<const std::string>(std::move(body));
}

void FakeHttpServer::failRange(uint64_t start, int status, int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Fault f;
    f.status = status;
    f.times = times;
    m_faults[start] = f;
}

void FakeHttpServer::misanswerRange(uint64_t start, Misanswer how, int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Fault f;
    f.misanswer = true;
    f.how = how;
    f.times = times;
    m_faults[start] = f;
}

void FakeHttpServer::dropRange(uint64_t start, std::size_t afterBytes, int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Fault f;
    f.drop = true;
    f.dropAfter = afterBytes;
    f.times = times;
    m_faults[start] = f;
}

void FakeHttpServer::holdRange(uint64_t start) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Fault f;
    f.hold = true;
    f.times = -1;
    m_faults[start] = f;
}

void FakeHttpServer::setNeverAnswer(bool never) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_neverAnswer = never;
}

void FakeHttpServer::releaseHeld() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end();) {
        it = it->second.hold ? m_faults.erase(it) : std::next(it);
    }
    m_neverAnswer = false;
    ++m_releaseGeneration;
    m_changed.notify_all();
}

void FakeHttpServer::setIgnoreRange(bool ignore) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ignoreRange = ignore;
}

void FakeHttpServer::setHeadStatus(int status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_headStatus = status;
}

void FakeHttpServer::setHeadWithoutLength(bool without) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_headWithoutLength = without;
}

void FakeHttpServer::setHeadLength(int64_t length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_headLength = length;
}

void FakeHttpServer::setDrip(std::size_t bytes, std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dripBytes = bytes;
    m_dripInterval = interval;
}

std::vector<FakeHttpServer::Request> FakeHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::size_t FakeHttpServer::countRequests(const std::string& method) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_requests.begin(), m_requests.end(), [&](const Request& r) { return r.method == method; }));
}

bool FakeHttpServer::waitForRequest(const std::function<bool(const Request&)>& match,
                                    std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout,
                              [&] { return std::any_of(m_requests.begin(), m_requests.end(), match); });
}

bool FakeHttpServer::waitWhileHeld(std::unique_lock<std::mutex>& lock, uint64_t start, bool hasRange) {
    const uint64_t generation = m_releaseGeneration;
    auto held = [&] {
        if (m_shuttingDown || m_releaseGeneration != generation) return false;
        if (m_neverAnswer) return true;
        if (!hasRange) return false;
        auto it = m_faults.find(start);
        return it != m_faults.end() && it->second.hold;
    };
    m_changed.wait(lock, [&] { return !held(); });
    return !m_shuttingDown;
}

void FakeHttpServer::handle(const httplib::Request& req, httplib::Response& res) {
    const std::string rangeHeader = req.get_header_value("Range");
    // Ranges are answered here, exactly as scripted; httplib must not cut the
    // reply a second time.
    const_cast<httplib::Request&>(req).ranges.clear();

    uint64_t start = 0;
    uint64_t end = 0;
    bool openEnd = false;
    const bool hasRange = parseRange(rangeHeader, start, end, openEnd);

    std::unique_lock<std::mutex> lock(m_mutex);
    m_requests.push_back({req.method, req.path, rangeHeader});
    m_changed.notify_all();

    if (!waitWhileHeld(lock, start, hasRange)) {
        res.status = 503;
        return;
    }

    auto found = m_bodies.find(req.path);
    if (found == m_bodies.end()) {
        res.status = 404;
        res.set_content("not found", "text/plain");
        return;
    }
    const std::shared_ptr<const std::string> body = found->second;
    const uint64_t size = body->size();

    if (req.method == "HEAD") {
        res.status = m_headStatus;
        if (m_headStatus != 200 && m_headStatus != 206) return;
        if (m_headWithoutLength) {
            res.set_chunked_content_provider(kOctets, [](std::size_t, httplib::DataSink& sink) {
                sink.done();
                return true;
            });
        } else {
            const uint64_t announced = m_headLength >= 0 ? static_cast<uint64_t>(m_headLength) : size;
            res.set_content_provider(static_cast<std::size_t>(announced), kOctets,
                                     [](std::size_t, std::size_t, httplib::DataSink&) { return true; });
        }
        return;
    }

    bool drop = false;
    std::size_t dropAfter = 0;
    std::optional<Misanswer> misanswer;
    if (hasRange && !m_ignoreRange) {
        auto fault = m_faults.find(start);
        if (fault != m_faults.end() && fault->second.times != 0 && !fault->second.hold) {
            Fault f = fault->second;
            if (fault->second.times > 0) --fault->second.times;
            if (f.status != 0) {
                res.status = f.status;
                res.set_content("scripted failure", "text/plain");
                return;
            }
            drop = f.drop;
            dropAfter = f.dropAfter;
            if (f.misanswer) misanswer = f.how;
        }
    }

    uint64_t offset = 0;
    uint64_t length = size;
    if (hasRange && !m_ignoreRange) {
        const rangefiles::ByteRange range =
            rangefiles::resolveRange(start, openEnd ? std::nullopt : std::optional<uint64_t>(end), size);
        rangefiles::setRangeStatus(range, size, res);
        if (!range.satisfiable) return;
        offset = range.offset;
        length = range.length;
        if (misanswer) {
            const auto shifted = static_cast<int64_t>(offset) + misanswer->rangeShift;
            const auto covered = static_cast<int64_t>(length) + misanswer->lengthDelta;
            const auto sent = covered + misanswer->bodyDelta;
            const auto total = static_cast<int64_t>(size) + misanswer->totalDelta;
            if (shifted < 0 || covered <= 0 || sent < 0 || static_cast<uint64_t>(shifted + sent) > size) {
                throw std::logic_error("FakeHttpServer: a misanswer outside the body");
            }
            res.headers.erase("Content-Range");
            res.set_header("Content-Range", "bytes " + std::to_string(shifted) + "-" +
                                                std::to_string(shifted + covered - 1) + "/" + std::to_string(total));
            offset = static_cast<uint64_t>(shifted);
            length = static_cast<uint64_t>(sent);
        }
    } else {
        res.status = 200;
    }

    const std::size_t dripBytes = m_dripBytes;
    const auto dripInterval = m_dripInterval;
    res.set_content_provider(
        static_cast<std::size_t>(length), kOctets,
        [this, body, offset, drop, dropAfter, dripBytes, dripInterval](std::size_t at, std::size_t remaining,
                                                                       httplib::DataSink& sink) {
            std::size_t n = remaining;
            if (drop) {
                if (at >= dropAfter) return false;  // the connection closes mid-body
                n = std::min(n, dropAfter - at);
            }
            if (dripBytes > 0) {
                n = std::min(n, dripBytes);
                std::unique_lock<std::mutex> dripLock(m_mutex);
                if (m_changed.wait_for(dripLock, dripInterval, [this] { return m_shuttingDown; })) return false;
            }
            return sink.write(body->data() + offset + at, n);
        });
}

}  // namespace testsupport
