// Size queries and ranged piece requests against a scripted loopback server.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include <httplib.h>

#include "foundation/Log.h"
#include "support/FakeHttpServer.h"
#include "support/LogReader.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "transfer/ContentRange.h"
#include "transfer/HttpOperation.h"

namespace {

std::string patternBody(std::size_t size) { return testsupport::patternBytes(size, 2463534242u); }

class HttpOperationTest : public ::testing::Test {
protected:
    void SetUp() override { curl_global_init(CURL_GLOBAL_ALL); }
    void TearDown() override {
        ReleaseLogger();
        curl_global_cleanup();
    }

    std::string logText() const {
        return testsupport::readLogs(home);
    }

    // Fetches one piece on a fresh handle.
    int32_t fetch(int32_t index, PieceBuffer& piece, const std::string& path = "/file", uint32_t fileSize = 70000) {
        CURL* handle = http.initPieceHandle(server.url(path).c_str(), 30);
        EXPECT_NE(handle, nullptr);
        piece.index = index;
        const int32_t result = http.loadPiece(handle, index, &piece, fileSize);
        curl_easy_cleanup(handle);
        return result;
    }

    // Fetches piece 0 on a thread of its own, raises the termination request
    // once the server has seen that request, and returns the piece's result.
    int32_t fetchFirstPieceThenStop() {
        std::stop_source termination;
        http.setTerminationToken(termination.get_token());
        int32_t result = -1;
        std::thread fetcher([&] {
            auto piece = std::make_unique<PieceBuffer>();
            result = fetch(0, *piece);
        });
        const bool seen = server.waitForRequest([](const auto& r) { return r.range == "bytes=0-32767"; });
        termination.request_stop();
        fetcher.join();
        EXPECT_TRUE(seen);
        return result;
    }

    std::size_t getsFor(const std::string& range) const {
        std::size_t n = 0;
        for (const auto& r : server.requests()) n += r.method == "GET" && r.range == range;
        return n;
    }

    testsupport::TempHome home;
    testsupport::FakeHttpServer server;
    HttpOperation http;
};

TEST_F(HttpOperationTest, SizeQueryAnswers) {
    struct Case {
        const char* name;
        int headStatus;
        bool withoutLength;
        int32_t expected;
        int32_t expectedStatus;
        const char* logged;  // the log line it must leave, or null for none
    };
    const Case cases[] = {
        {"ok", 200, false, 70000, 200, nullptr},
        {"partial content counts", 206, false, 70000, 206, nullptr},
        {"no length announced", 200, true, -1, 200, nullptr},
        {"not found", 404, false, -1, 404, "rsp_code:404"},
    };
    server.serve("/file", patternBody(70000));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.setHeadStatus(c.headStatus);
        server.setHeadWithoutLength(c.withoutLength);
        int32_t status = -5;
        EXPECT_EQ(http.getFileSize(server.url("/file").c_str(), 30, &status), c.expected);
        EXPECT_EQ(status, c.expectedStatus);
        ReleaseLogger();
        const std::string log = logText();
        if (c.logged == nullptr) {
            EXPECT_EQ(log.find("[HttpOperation:"), std::string::npos) << log;
        } else {
            const std::string line = "[HttpOperation:43]getFileSize curl_easy_getinfo Failed url:" + server.url("/file") +
                                     " LibcurlRetCode = 0 ErrStr:No error " + c.logged + "\r\n";
            EXPECT_NE(log.find(line), std::string::npos) << log;
        }
        std::filesystem::remove_all(home.logFolder());
    }
    EXPECT_EQ(server.countRequests("GET"), 0u);
    EXPECT_EQ(server.countRequests("HEAD"), 4u);
}

TEST_F(HttpOperationTest, SizeQueryTransferFailureIsLoggedAndNotRetried) {
    std::string url;
    {
        testsupport::FakeHttpServer gone;
        url = gone.url("/file");
    }
    int32_t status = -5;
    EXPECT_EQ(http.getFileSize(url.c_str(), 30, &status), -1);
    EXPECT_EQ(status, -5) << "no status was read";
    ReleaseLogger();
    const std::string line = "[HttpOperation:36]getFileSize curl_easy_perform Failed url:" + url +
                             " LibcurlRetCode = 7 ErrStr:Couldn't connect to server\r\n";
    EXPECT_NE(logText().find(line), std::string::npos) << logText();
}

TEST_F(HttpOperationTest, PieceRangesAndContents) {
    const std::string body = patternBody(70000);
    server.serve("/file", body);
    struct Case {
        int32_t index;
        const char* range;
        uint32_t length;
    };
    for (const Case& c : {Case{0, "bytes=0-32767", 32768}, Case{1, "bytes=32768-65535", 32768},
                          Case{2, "bytes=65536-98303", 70000 - 65536}}) {
        SCOPED_TRACE(c.index);
        auto piece = std::make_unique<PieceBuffer>();
        EXPECT_EQ(fetch(c.index, *piece), 0);
        EXPECT_EQ(getsFor(c.range), 1u);
        ASSERT_EQ(piece->length, c.length);
        EXPECT_EQ(std::string(piece->data, c.length), body.substr(static_cast<std::size_t>(c.index) * 32768, c.length));
        // Beyond the received bytes a new buffer stays zero, terminator included.
        EXPECT_EQ(std::string(piece->data + c.length, 32769 - c.length), std::string(32769 - c.length, '\0'));
    }
}

TEST_F(HttpOperationTest, ErrorStatusesComeBackWithoutRetry) {
    server.serve("/file", patternBody(70000));
    server.failRange(32768, 404);
    server.failRange(0, 503);
    auto piece = std::make_unique<PieceBuffer>();
    EXPECT_EQ(fetch(1, *piece), 404);
    EXPECT_EQ(getsFor("bytes=32768-65535"), 1u);
    EXPECT_EQ(fetch(3, *piece), 416) << "a range past the end";
    EXPECT_EQ(getsFor("bytes=98304-131071"), 1u);
    EXPECT_EQ(fetch(0, *piece), 503);
    EXPECT_EQ(getsFor("bytes=0-32767"), 1u);
}

TEST_F(HttpOperationTest, ConnectionResetMidPieceIsRetriedFromThePieceStart) {
    const std::string body = patternBody(70000);
    server.serve("/file", body);
    server.dropRange(32768, 10000, 1);
    http.setRetryPauseForTesting(0);
    auto piece = std::make_unique<PieceBuffer>();
    EXPECT_EQ(fetch(1, *piece), 0);
    EXPECT_EQ(getsFor("bytes=32768-65535"), 2u);
    ASSERT_EQ(piece->length, 32768u);
    EXPECT_EQ(std::string(piece->data, 32768), body.substr(32768, 32768));
}

TEST_F(HttpOperationTest, ThreeFailedTriesGiveTheLastLibraryCode) {
    server.serve("/file", patternBody(70000));
    server.dropRange(0, 100, -1);
    http.setRetryPauseForTesting(0);
    auto piece = std::make_unique<PieceBuffer>();
    EXPECT_EQ(fetch(0, *piece), CURLE_PARTIAL_FILE);
    EXPECT_EQ(getsFor("bytes=0-32767"), 3u);
}

TEST_F(HttpOperationTest, RunStateIsConsultedBeforeAnyTransfer) {
    server.serve("/file", patternBody(70000));
    auto piece = std::make_unique<PieceBuffer>();
    // The run state is the owner's; the HTTP object only reads it.
    std::atomic<int32_t> runState{kRunStatePaused};
    http.setRunState(&runState);
    EXPECT_EQ(fetch(0, *piece), 229);
    runState = kRunStateStopped;
    EXPECT_EQ(fetch(0, *piece), 224);
    EXPECT_EQ(server.countRequests("GET"), 0u);
    runState = kRunStateRunning;
    EXPECT_EQ(fetch(0, *piece), 0);
    EXPECT_EQ(server.countRequests("GET"), 1u);
    // Without a run state handed in, the pieces run.
    http.setRunState(nullptr);
    EXPECT_EQ(fetch(0, *piece), 0);
    EXPECT_EQ(server.countRequests("GET"), 2u);
}

TEST_F(HttpOperationTest, WholeFileAnswerToARangeIsAFailureUnlessTheFileIsOnePiece) {
    server.setIgnoreRange(true);
    server.serve("/big", patternBody(70000));
    const std::string small = patternBody(1000);
    server.serve("/small", small);
    auto piece = std::make_unique<PieceBuffer>();
    EXPECT_EQ(fetch(0, *piece, "/big"), 200);
    EXPECT_EQ(fetch(1, *piece, "/big"), 200);
    EXPECT_EQ(fetch(0, *piece, "/small", 1000), 0);
    EXPECT_EQ(fetch(0, *piece, "/small", 1001), 200) << "a whole file of another size than announced";
    ASSERT_EQ(piece->length, 1000u);
    EXPECT_EQ(std::string(piece->data, 1000), small);
}

TEST_F(HttpOperationTest, WriteCallbackCapsAtOnePieceAndTakesEveryChunk) {
    auto piece = std::make_unique<PieceBuffer>();
    std::string chunk(30000, 'a');
    EXPECT_EQ(HttpOperation::onPieceData(chunk.data(), 1, chunk.size(), piece.get()), chunk.size());
    std::string more(5000, 'b');
    EXPECT_EQ(HttpOperation::onPieceData(more.data(), 1, more.size(), piece.get()), more.size());
    EXPECT_EQ(piece->length, 32768u);
    EXPECT_EQ(piece->data[29999], 'a');
    EXPECT_EQ(piece->data[30000], 'b');
    EXPECT_EQ(piece->data[32767], 'b');
    EXPECT_EQ(piece->data[32768], '\0');
    EXPECT_EQ(HttpOperation::onPieceData(more.data(), 1, more.size(), piece.get()), more.size()) << "full piece";
    EXPECT_EQ(piece->length, 32768u);
    EXPECT_EQ(HttpOperation::onPieceData(nullptr, 1, 10, piece.get()), 0u);
    EXPECT_EQ(HttpOperation::onPieceData(more.data(), 1, 10, nullptr), 0u);
}

TEST_F(HttpOperationTest, TerminationAbortsATransferThatGetsNoAnswer) {
    server.serve("/file", patternBody(70000));
    server.holdRange(0);
    EXPECT_EQ(fetchFirstPieceThenStop(), 224);
    EXPECT_EQ(getsFor("bytes=0-32767"), 1u) << "no further try after the termination request";
}

TEST_F(HttpOperationTest, TerminationEndsTheRetryPause) {
    server.serve("/file", patternBody(70000));
    server.dropRange(0, 100, -1);
    // The 2,000 ms pause stays as it is.
    EXPECT_EQ(fetchFirstPieceThenStop(), 224);
    EXPECT_LE(getsFor("bytes=0-32767"), 2u);
}

}  // namespace

namespace {

TEST(ContentRange, AcceptsOnlyTheExactForm) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t first, last, total;
    };
    const Case cases[] = {
        {"bytes 0-32767/98804", true, 0, 32767, 98804},
        {"bytes 98304-98803/98804", true, 98304, 98803, 98804},
        {"bytes */98804", false, 0, 0, 0},
        {"bytes 0-32767/*", false, 0, 0, 0},
        {"bytes 10-5/100", false, 0, 0, 0},
        {"bytes 0-100/100", false, 0, 0, 0},
        {"bytes 0-1/2 ", false, 0, 0, 0},
        {"bytes  0-1/2", false, 0, 0, 0},
        {"bytes -1-1/2", false, 0, 0, 0},
        {"items 0-1/2", false, 0, 0, 0},
        {"bytes 0-99999999999999999999/2", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t first = 7, last = 7, total = 7;
        EXPECT_EQ(parseContentRange(c.text, first, last, total), c.ok);
        if (c.ok) {
            EXPECT_EQ(first, c.first);
            EXPECT_EQ(last, c.last);
            EXPECT_EQ(total, c.total);
        } else {
            EXPECT_EQ(first + last + total, 21u) << "outputs untouched";
        }
    }
}

// The package URL comes from the network: only http and https are fetched,
// directly or at the end of a redirect.
TEST_F(HttpOperationTest, OnlyHttpAndHttpsAreFetched) {
    const auto local = home.root() / "secret.bin";
    testsupport::writeFile(local, patternBody(1000));
    // "file:///C:/..." on Windows, "file:///tmp/..." on Linux.
    const std::string localPath = local.generic_string();
    const std::string localUrl = (localPath.front() == '/' ? "file://" : "file:///") + localPath;
    httplib::Server redirector;
    redirector.Get("/to-file", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(localUrl);
    });
    redirector.Get("/to-http", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(server.url("/file"));
    });
    const int port = redirector.bind_to_any_port("127.0.0.1");
    std::thread listener([&] { redirector.listen_after_bind(); });
    // Bound and listening already: requests wait in the backlog meanwhile.
    server.serve("/file", patternBody(1000));
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

#ifdef _WIN32
    // The Windows build's libcurl is built for HTTP alone and takes a
    // Location naming a file for a malformed URL: refused all the same.
    constexpr int32_t kRedirectToFile = CURLE_URL_MALFORMAT;
#else
    constexpr int32_t kRedirectToFile = CURLE_UNSUPPORTED_PROTOCOL;
#endif
    http.setRetryPauseForTesting(0);
    struct Case {
        std::string url;
        int32_t size;   // getFileSize
        int32_t piece;  // loadPiece of piece 0
    };
    const Case cases[] = {
        {localUrl, -1, CURLE_UNSUPPORTED_PROTOCOL},
        {"ftp://127.0.0.1:1/x", -1, CURLE_UNSUPPORTED_PROTOCOL},
        {"gopher://127.0.0.1:1/x", -1, CURLE_UNSUPPORTED_PROTOCOL},
        {base + "/to-file", -1, kRedirectToFile},
        {base + "/to-http", 1000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        int32_t status = 0;
        EXPECT_EQ(http.getFileSize(c.url.c_str(), 30, &status), c.size);
        CURL* handle = http.initPieceHandle(c.url.c_str(), 30);
        ASSERT_NE(handle, nullptr);
        auto piece = std::make_unique<PieceBuffer>();
        EXPECT_EQ(http.loadPiece(handle, 0, piece.get(), 1000), c.piece);
        if (c.piece != 0) {
            EXPECT_EQ(piece->length, 0u) << "nothing of the local file was read";
        }
        curl_easy_cleanup(handle);
    }
    redirector.stop();
    listener.join();
}

}  // namespace
