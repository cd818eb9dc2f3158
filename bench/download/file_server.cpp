// A small static file server for the download benchmarks: serves the files
// of one folder on 127.0.0.1 with HEAD and single byte ranges, straight from
// a memory mapping (so a ranged request costs only its own bytes).
//
//   bench_file_server DIR [PORT [DELAY_MS]]
//
// DELAY_MS holds every answer back that long before it is sent: a stand-in
// for one network round trip per request where no delaying network device can
// be made. Nagle's algorithm is off, as in ordinary web servers: otherwise a
// body's tail waits for the client's delayed ACK of the headers (40 ms on
// Linux) on every keep-alive request.
//
// Prints its base URL ("http://127.0.0.1:<port>/") on the first line and runs
// until SIGINT or SIGTERM.
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

namespace {

struct Mapped {
    const char* data = nullptr;
    std::size_t size = 0;
};

httplib::Server* g_server = nullptr;

void onSignal(int) {
    if (g_server != nullptr) g_server->stop();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s DIR [PORT [DELAY_MS]]\n", argv[0]);
        return 2;
    }
    std::map<std::string, Mapped> files;
    for (const auto& e : std::filesystem::directory_iterator(argv[1])) {
        if (!e.is_regular_file()) continue;
        const int fd = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st{};
        ::fstat(fd, &st);
        Mapped m;
        m.size = static_cast<std::size_t>(st.st_size);
        if (m.size > 0) {
            void* p = ::mmap(nullptr, m.size, PROT_READ, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) m.data = static_cast<const char*>(p);
        }
        ::close(fd);
        if (m.size == 0 || m.data != nullptr) files["/" + e.path().filename().string()] = m;
    }

    const int delayMs = argc == 4 ? std::atoi(argv[3]) : 0;
    httplib::Server server;
    server.set_keep_alive_max_count(1000000);
    server.set_tcp_nodelay(true);
    server.Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        auto it = files.find(req.path);
        if (it == files.end()) {
            res.status = 404;
            return;
        }
        const Mapped m = it->second;
        std::size_t offset = 0;
        std::size_t length = m.size;
        if (!req.ranges.empty()) {
            if (req.ranges.size() != 1) {
                res.status = 416;
                return;
            }
            // httplib parses the header; it cuts bodies it holds itself, not
            // provided ones, so the range is applied here.
            auto [first, last] = req.ranges[0];
            if (first < 0) {  // "-N": the last N bytes
                first = static_cast<ssize_t>(m.size) - last;
                last = static_cast<ssize_t>(m.size) - 1;
            }
            if (first < 0 || static_cast<std::size_t>(first) >= m.size) {
                res.status = 416;
                res.set_header("Content-Range", "bytes */" + std::to_string(m.size));
                return;
            }
            if (last < 0 || static_cast<std::size_t>(last) >= m.size) last = static_cast<ssize_t>(m.size) - 1;
            offset = static_cast<std::size_t>(first);
            length = static_cast<std::size_t>(last - first + 1);
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                                std::to_string(m.size));
        }
        const_cast<httplib::Request&>(req).ranges.clear();
        res.set_content_provider(length, "application/octet-stream",
                                 [m, offset](std::size_t at, std::size_t remaining, httplib::DataSink& sink) {
                                     const std::size_t n = remaining < (1u << 20) ? remaining : (1u << 20);
                                     return sink.write(m.data + offset + at, n);
                                 });
    });

    const int port = argc >= 3 ? std::atoi(argv[2]) : 0;
    int bound = port;
    if (port == 0) {
        bound = server.bind_to_any_port("127.0.0.1");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        bound = -1;
    }
    if (bound <= 0) {
        std::fprintf(stderr, "cannot bind 127.0.0.1\n");
        return 1;
    }
    std::printf("http://127.0.0.1:%d/\n", bound);
    std::fflush(stdout);
    g_server = &server;
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    server.listen_after_bind();
    return 0;
}
