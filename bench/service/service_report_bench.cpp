// One event report through KTUpgrade::DataReport_common (configuration
// already loaded, one attempt that succeeds) against the floor: a bare
// libcurl easy POST of the same body to the same loopback server, with a new
// handle per request as the client makes one.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "service/KTUpgrade.h"

namespace fs = std::filesystem;

namespace {

int dropLine(const wchar_t*) {
    return 0;
}

size_t sink(char*, size_t size, size_t count, void*) {
    return size * count;
}

struct Service {
    Service() {
        server.Post("/log/startgame", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("{\"status\":1}", "application/json");
        });
        port = server.bind_to_any_port("127.0.0.1");
        loop = std::thread([this] { server.listen_after_bind(); });
        base = "http://127.0.0.1:" + std::to_string(port) + "/";
        char folderTemplate[] = "/tmp/service_bench-XXXXXX";
        folder = mkdtemp(folderTemplate);
        std::ofstream(folder / "launcher.ini") << "[UPGRADE]\r\nSERVER_UPGRADE_0=" << base << "\r\n";
        folderText = folder.wstring();
    }
    ~Service() {
        server.stop();
        loop.join();
        fs::remove_all(folder);
    }
    httplib::Server server;
    int port = 0;
    std::thread loop;
    std::string base;
    fs::path folder;
    std::wstring folderText;
};

Service& service() {
    static Service s;
    return s;
}

void BM_DataReport_common(benchmark::State& state) {
    KTUpgrade client(service().folderText.c_str(), dropLine);
    for (auto _ : state) {
        if (client.DataReport_common(0, 0, "1.0.0.15", "GLHR_STR", "") != 0) state.SkipWithError("report failed");
    }
}
BENCHMARK(BM_DataReport_common)->UseRealTime();

void BM_CurlEasyPost(benchmark::State& state) {
    const std::string url = service().base + "log/startgame";
    const std::string body = "cid=02ab0010fe01&unid=0&appid=0&event=GLHR_STR&sid=0&ver=1.0.0.15&user=0&ext=";
    for (auto _ : state) {
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, sink);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("post failed");
        curl_easy_cleanup(curl);
    }
}
BENCHMARK(BM_CurlEasyPost)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
