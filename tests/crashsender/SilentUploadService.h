// A crash service on 127.0.0.1 (cpp-httplib, a free port) that takes every
// upload in full and never answers it: each request is held until the service
// goes away, which answers the held ones with 503. For the tests of
// cancelling an upload.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>

namespace sendertest {

class SilentUploadService {
public:
    SilentUploadService() {
        m_server.Post(".*", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_received;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_closing; });
            res.status = 503;
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0) throw std::runtime_error("SilentUploadService: cannot bind 127.0.0.1");
        m_listener = std::thread([this] { m_server.listen_after_bind(); });
        // httplib's stop() does nothing until its accept loop runs, and it
        // offers no way to wait for that but to look.
        for (int i = 0; i < 10000 && !m_server.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~SilentUploadService() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
            m_changed.notify_all();
        }
        m_server.stop();
        m_listener.join();
    }
    SilentUploadService(const SilentUploadService&) = delete;
    SilentUploadService& operator=(const SilentUploadService&) = delete;

    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/index.php/crashReport/uploadExternal";
    }

    // True once an upload has arrived whole and is being held; false after
    // `timeout` without one.
    bool waitForUpload(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [this] { return m_received > 0; });
    }

private:
    httplib::Server m_server;
    std::thread m_listener;
    int m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_received = 0;
    bool m_closing = false;
};

}  // namespace sendertest
