// A small static file server for the download benchmarks: serves the files
// of one folder on 127.0.0.1 with HEAD and single byte ranges, straight from
// memory mappings (tools/common/RangeFiles.h, shared with the update service).
//
//   bench_file_server DIR [PORT [DELAY_MS]]
//
// DELAY_MS holds every answer back that long before it is sent: a stand-in
// for one network round trip per request where no delaying network device can
// be made.
//
// Prints its base URL ("http://127.0.0.1:<port>/") on the first line and runs
// until SIGINT or SIGTERM.
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/RangeFiles.h"

namespace {

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
    rangefiles::RangeFiles files(argv[1]);
    if (!files.valid()) {
        std::fprintf(stderr, "cannot serve %s\n", argv[1]);
        return 2;
    }

    const int delayMs = argc == 4 ? std::atoi(argv[3]) : 0;
    httplib::Server server;
    rangefiles::tuneServer(server);
    server.Get("/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        rangefiles::answer(files, req.matches[1], req, res);
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
