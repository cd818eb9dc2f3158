// The segmented downloader end to end against scripted loopback servers.
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Log.h"
#include "platform/sync.h"
#include "platform/timer.h"
#include "support/FakeHttpServer.h"
#include "support/LogReader.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "support/Threads.h"
#include "transfer/Loader.h"
#include "transfer/ResumeRecord.h"

namespace {

std::string patternBody(std::size_t size) { return testsupport::patternBytes(size, 88172645u); }

struct Report {
    uint32_t done;
    uint32_t total;
    uint32_t user;
};
std::mutex g_reportsMutex;
std::vector<Report> g_reports;

void recordProgress(uint32_t done, uint32_t total, uint32_t user) {
    std::lock_guard<std::mutex> lock(g_reportsMutex);
    g_reports.push_back({done, total, user});
}

std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(g_reportsMutex);
    return g_reports;
}

bool isDownloaderThreadName(const std::string& name) {
    return name.rfind("_threadLoader", 0) == 0 || name.rfind("_threadCompare", 0) == 0;
}

// Threads of this process still carrying one of the downloader's names.
std::size_t downloaderThreads() {
    const std::vector<std::string> names = testsupport::threadNames();
    return static_cast<std::size_t>(std::count_if(names.begin(), names.end(), isDownloaderThreadName));
}

std::string rangeOf(uint32_t piece) {
    return "bytes=" + std::to_string(piece * 32768u) + "-" + std::to_string(piece * 32768u + 32767u);
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(g_reportsMutex);
            g_reports.clear();
        }
        loader = Loader::instance(recordProgress, nullptr, 30);
        ASSERT_NE(loader, nullptr);
        folder = home.data() / "Keltora/morvel3/temp/";
    }
    void TearDown() override {
        platform::setThreadStartHookForTesting(nullptr);
        delete loader;
        ReleaseLogger();
    }

    DownloadTask makeTask(const std::string& path) {
        DownloadTask task;
        const std::string url = server.url(path);
        std::snprintf(task.url, sizeof(task.url), "%s", url.c_str());
        std::swprintf(task.folder, 1024, L"%ls/", folder.wstring().c_str());
        std::swprintf(task.fileName, 512, L"%ls", L"client.upd");
        return task;
    }
    std::filesystem::path target() const { return folder / "client.upd"; }

    std::string logText() {
        ReleaseLogger();
        return testsupport::readLogs(home);
    }

    testsupport::TempHome home;
    testsupport::FakeHttpServer server;
    HttpOperation http;
    Loader* loader = nullptr;
    std::filesystem::path folder;
};

TEST_F(LoaderTest, FilesOfEverySizeArriveByteExact) {
    struct Case {
        uint32_t size;
        uint16_t blockCount;
        uint32_t blockSize;
        uint32_t lastBlockSize;
    };
    const Case cases[] = {
        {1, 1, 1, 1},
        {32767, 1, 32767, 32767},
        {32768, 1, 32768, 32768},
        {32769, 2, 32768, 1},
        {65536, 2, 32768, 32768},
        {1048577, 33, 32768, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = "/f" + std::to_string(c.size);
        const std::string body = patternBody(c.size);
        server.serve(path, body);
        DownloadTask task = makeTask(path);
        EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
        EXPECT_EQ(task.fileSize, c.size);
        EXPECT_EQ(task.blockCount, c.blockCount);
        EXPECT_EQ(task.blockSize, c.blockSize);
        EXPECT_EQ(task.lastBlockSize, c.lastBlockSize);
        const std::string got = testsupport::readFile(target());
        EXPECT_EQ(got.size(), body.size());
        EXPECT_TRUE(got == body) << "content differs";
    }
    // Even a 1-byte file asks for a whole piece.
    bool sawFirst = false;
    for (const auto& r : server.requests()) sawFirst |= r.path == "/f1" && r.range == "bytes=0-32767";
    EXPECT_TRUE(sawFirst);
}

TEST_F(LoaderTest, ExistingLongerFileIsOverwrittenAndCut) {
    std::filesystem::create_directories(folder);
    testsupport::writeFile(target(), std::string(200000, 'x'));
    const std::string body = patternBody(40000);
    server.serve("/file", body);
    DownloadTask task = makeTask("/file");
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
    EXPECT_TRUE(testsupport::readFile(target()) == body);
}

// The ranges the server was asked for, from request `from` on.
std::vector<std::string> rangesFrom(const testsupport::FakeHttpServer& server, std::size_t from) {
    std::vector<std::string> out;
    const auto all = server.requests();
    for (std::size_t i = from; i < all.size(); ++i) {
        if (all[i].method == "GET") out.push_back(all[i].range);
    }
    return out;
}

// A download cut short keeps a record of the blocks it wrote; the next
// download of the same url, MD5 and size asks only for the pieces after
// them, each once, and leaves the whole file and no record. Without an MD5
// no record is kept at all.
TEST_F(LoaderTest, ADownloadCutShortContinuesAfterTheBlocksItsRecordClaims) {
    constexpr uint32_t kPieces = 100;
    constexpr uint32_t kCut = 60;
    const std::string body = patternBody(kPieces * 32768 + 100);
    server.serve("/file", body);
    const std::wstring record = resumeRecordPath(target().wstring());

    server.failRange(kCut * 32768u, 404, 1);
    DownloadTask plain = makeTask("/file");
    EXPECT_EQ(loader->DownLoadFile(&plain, &http, 0), 230);
    EXPECT_FALSE(hasResumeRecord(target().wstring()));

    server.failRange(kCut * 32768u, 404, 1);
    DownloadTask task = makeTask("/file");
    std::snprintf(task.md5, sizeof task.md5, "%s", testsupport::md5Hex(body).c_str());
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 230);
    ResumeRecord claimed;
    ASSERT_TRUE(readResumeRecord(record, claimed));
    EXPECT_EQ(claimed.written, kCut * 32768u);
    EXPECT_EQ(claimed.fileSize, body.size());
    EXPECT_EQ(claimed.md5, task.md5);
    EXPECT_EQ(claimed.url, task.url);

    const std::size_t before = server.requests().size();
    DownloadTask again = makeTask("/file");
    std::snprintf(again.md5, sizeof again.md5, "%s", task.md5);
    EXPECT_EQ(loader->DownLoadFile(&again, &http, 0), 0);
    EXPECT_TRUE(testsupport::readFile(target()) == body);
    EXPECT_FALSE(hasResumeRecord(target().wstring()));
    std::vector<std::string> asked = rangesFrom(server, before);
    std::vector<std::string> expected;
    for (uint32_t p = kCut; p <= kPieces; ++p) expected.push_back(rangeOf(p));
    std::sort(asked.begin(), asked.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(asked, expected);
    const std::string text = logText();
    // The task's folder ends with a separator and gets one more.
    EXPECT_NE(text.find("[Loader:92]Resume filePath=" + folder.string() +
                        "/client.upd fromByte = " + std::to_string(kCut * 32768u) + "\r\n"),
              std::string::npos)
        << text;
}

// Only a record of this very download, over a file that holds what it
// claims, is followed; any other goes, with the file's content, and the
// download starts at the first byte. A record that fits is trusted: the
// bytes it claims are not fetched again (the caller's MD5 check of the
// whole file is what catches a file changed behind its record).
TEST_F(LoaderTest, RecordsThatDoNotFitTheDownloadStartItOver) {
    constexpr uint32_t kClaimed = 20 * 32768;
    const std::string body = patternBody(50 * 32768 + 7);
    server.serve("/file", body);
    const std::string md5 = testsupport::md5Hex(body);
    struct Case {
        const char* what;
        std::string url;  // empty: the download's own
        std::string md5;
        int64_t size;  // -1: the body's
        uint32_t claimed;
        std::size_t fileBytes;
        const char* recordText;  // instead of a record written by the program
        bool resumed;
    };
    const Case cases[] = {
        {"the same download", "", md5, -1, kClaimed, kClaimed, nullptr, true},
        {"another MD5", "", std::string(32, '0'), -1, kClaimed, kClaimed, nullptr, false},
        {"another size", "", md5, static_cast<int64_t>(body.size()) + 1, kClaimed, kClaimed, nullptr, false},
        {"another url", "http://127.0.0.1:1/file", md5, -1, kClaimed, kClaimed, nullptr, false},
        {"a file shorter than claimed", "", md5, -1, kClaimed, kClaimed - 1, nullptr, false},
        {"a claim between pieces", "", md5, -1, kClaimed + 5, kClaimed + 5, nullptr, false},
        {"a claim of the whole file", "", md5, -1, static_cast<uint32_t>(body.size()), body.size(), nullptr, false},
        {"a record that does not parse", "", md5, -1, 0, kClaimed, "resume 1\nurl=x\n", false},
        {"a record cut before its end", "", md5, -1, 0, kClaimed, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::create_directories(folder);
        DownloadTask task = makeTask("/file");
        std::snprintf(task.md5, sizeof task.md5, "%s", md5.c_str());
        // Bytes the server never sends: they stay only when resumed.
        testsupport::writeFile(target(), std::string(c.fileBytes, 'x'));
        const std::wstring record = resumeRecordPath(target().wstring());
        const ResumeRecord r{c.url.empty() ? task.url : c.url, c.md5,
                             c.size < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(c.size), 32768,
                             c.claimed};
        if (c.recordText != nullptr) {
            testsupport::writeFile(std::filesystem::path(record), c.recordText);
        } else {
            ASSERT_TRUE(writeResumeRecord(record, r));
            if (c.claimed == 0) std::filesystem::resize_file(std::filesystem::path(record), 40);
        }
        const std::size_t before = server.requests().size();
        EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
        const std::vector<std::string> asked = rangesFrom(server, before);
        const bool askedFirst = std::find(asked.begin(), asked.end(), rangeOf(0)) != asked.end();
        EXPECT_EQ(askedFirst, !c.resumed);
        const std::string got = testsupport::readFile(target());
        ASSERT_EQ(got.size(), body.size());
        if (c.resumed) {
            EXPECT_TRUE(got == std::string(kClaimed, 'x') + body.substr(kClaimed));
            EXPECT_EQ(asked.size(), 50u - 20u + 1u);
        } else {
            EXPECT_TRUE(got == body);
        }
        EXPECT_FALSE(hasResumeRecord(target().wstring()));
        EXPECT_EQ(logText().find("[Loader:97]Resume record discarded filePath=" + folder.string() +
                                 "/client.upd\r\n") != std::string::npos,
                  !c.resumed);
        std::filesystem::remove_all(home.logFolder());
    }
}

// Larger pieces on more threads (the far players' settings): every range
// asked for is one whole piece of the size set, each asked once, and the
// file arrives byte-exact; values outside the ranges leave the setting.
TEST_F(LoaderTest, PieceSizeAndThreadCountAsSet) {
    struct Case {
        uint32_t pieceSize;
        int32_t threads;
        uint32_t fileSize;
    };
    const Case cases[] = {
        {1024 * 1024, 8, 5 * 1024 * 1024 + 123},
        {kMaxPieceSize, 1, 9 * 1024 * 1024},
        {65536, 3, 5 * 65536 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pieceSize);
        loader->setPieces(c.pieceSize, c.threads);
        loader->setPieces(kMaxPieceSize + 1, 0);
        loader->setPieces(kPieceSize - 1, Loader::kMaxPieceThreads + 1);
        EXPECT_EQ(loader->pieceSize(), c.pieceSize);
        EXPECT_EQ(loader->pieceThreads(), c.threads);
        const std::string body = patternBody(c.fileSize);
        server.serve("/file", body);
        const std::size_t before = server.requests().size();
        DownloadTask task = makeTask("/file");
        EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
        EXPECT_TRUE(testsupport::readFile(target()) == body);
        EXPECT_EQ(task.blockSize, c.pieceSize);
        std::vector<std::string> asked = rangesFrom(server, before);
        std::vector<std::string> expected;
        for (uint32_t start = 0; start < c.fileSize; start += c.pieceSize) {
            expected.push_back("bytes=" + std::to_string(start) + "-" + std::to_string(start + c.pieceSize - 1));
        }
        std::sort(asked.begin(), asked.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(asked, expected);
        const std::string log = logText();
        for (int32_t i = 0; i < c.threads; ++i) {
            EXPECT_NE(log.find("[Loader:288]_threadLoader:" + std::to_string(i) + " quit with exitCode 0"),
                      std::string::npos);
        }
        EXPECT_EQ(log.find("_threadLoader:" + std::to_string(c.threads) + " "), std::string::npos);
        std::filesystem::remove_all(home.logFolder());
    }
}

TEST_F(LoaderTest, SizeQueryOutcomes) {
    struct Case {
        const char* name;
        int headStatus;
        bool withoutLength;
        int32_t expected;
    };
    const Case cases[] = {
        {"HEAD 404", 404, false, 227},
        {"no Content-Length", 200, true, 227},
        {"HEAD 206", 206, false, 0},
    };
    const std::string body = patternBody(50000);
    server.serve("/file", body);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(home.data() / "Keltora");
        server.setHeadStatus(c.headStatus);
        server.setHeadWithoutLength(c.withoutLength);
        const std::size_t getsBefore = server.countRequests("GET");
        DownloadTask task = makeTask("/file");
        EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), c.expected);
        if (c.expected == 227) {
            EXPECT_FALSE(std::filesystem::exists(home.data() / "Keltora")) << "nothing may be created";
            EXPECT_EQ(server.countRequests("GET"), getsBefore);
        } else {
            EXPECT_TRUE(testsupport::readFile(target()) == body);
        }
    }
}

TEST_F(LoaderTest, FailedPieceEndsWith230AndTheFileIsCutAfterTheBlocksWrittenInOrder) {
    struct Case {
        const char* name;
        int status;
        uint32_t size;
        uint32_t failingPiece;
    };
    // 416 is what a server answers when it thinks the range lies past the end.
    const Case cases[] = {{"404", 404, 5 * 32768 + 100, 2}, {"416", 416, 5 * 32768 + 100, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakeHttpServer failing;
        const std::string body = patternBody(c.size);
        failing.serve("/file", body);
        failing.failRange(c.failingPiece * 32768u, c.status);
        DownloadTask task;
        std::snprintf(task.url, sizeof(task.url), "%s", failing.url("/file").c_str());
        std::swprintf(task.folder, 1024, L"%ls/", folder.wstring().c_str());
        std::swprintf(task.fileName, 512, L"%ls", L"client.upd");
        EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 230);
        const std::string got = testsupport::readFile(target());
        EXPECT_EQ(got.size(), c.failingPiece * 32768u);
        EXPECT_TRUE(got == body.substr(0, c.failingPiece * 32768u));
        const std::string log = logText();
        EXPECT_NE(log.find("quit with exitCode " + std::to_string(c.status) + " lastErrCode = "), std::string::npos)
            << log;
        EXPECT_NE(log.find("[Loader:303]_threadCompare quit with exitCode 230 lastErrCode = "), std::string::npos)
            << log;
    }
}

TEST_F(LoaderTest, ConnectionResetMidPieceSucceedsOnTheNextTry) {
    // The real 2,000 ms pause between tries stays in force here.
    const std::string body = patternBody(4 * 32768 + 7);
    server.serve("/file", body);
    server.dropRange(2 * 32768, 20000, 1);
    DownloadTask task = makeTask("/file");
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
    EXPECT_TRUE(testsupport::readFile(target()) == body);
    std::size_t tries = 0;
    for (const auto& r : server.requests()) tries += r.range == rangeOf(2);
    EXPECT_EQ(tries, 2u);
}

TEST_F(LoaderTest, ServerIgnoringRangeFailsInsteadOfWritingWrongBytes) {
    server.setIgnoreRange(true);
    server.serve("/big", patternBody(100000));
    DownloadTask task = makeTask("/big");
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 230);
    EXPECT_EQ(testsupport::readFile(target()).size(), 0u);

    // A file of one piece is whole in a plain 200 answer.
    const std::string small = patternBody(1234);
    server.serve("/small", small);
    DownloadTask smallTask = makeTask("/small");
    EXPECT_EQ(loader->DownLoadFile(&smallTask, &http, 0), 0);
    EXPECT_TRUE(testsupport::readFile(target()) == small);
}

TEST_F(LoaderTest, ProgressComesOncePerSecondWhileTheDownloadRuns) {
    platform::useManualTimerClockForTesting();
    const uint32_t size = 4 * 32768 + 10;
    const std::string body = patternBody(size);
    server.serve("/file", body);
    server.holdRange(4 * 32768);
    DownloadTask task = makeTask("/file");
    int32_t result = -1;
    std::thread download([&] { result = loader->DownLoadFile(&task, &http, 0); });
    ASSERT_TRUE(server.waitForRequest([](const auto& r) { return r.range == rangeOf(4); }));

    platform::advanceTimerClockForTesting(999);
    EXPECT_TRUE(reports().empty()) << "no report within the first second";
    platform::advanceTimerClockForTesting(1);
    auto seen = reports();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].total, size);
    EXPECT_EQ(seen[0].user, 0u);
    EXPECT_EQ(seen[0].done % 32768u, 0u);
    EXPECT_LE(seen[0].done, 4u * 32768u);
    platform::advanceTimerClockForTesting(1000);
    EXPECT_EQ(reports().size(), 2u);

    server.releaseHeld();
    download.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(testsupport::readFile(target()) == body);
    platform::advanceTimerClockForTesting(5000);
    EXPECT_EQ(reports().size(), 2u) << "no report after the download returned";
}

TEST_F(LoaderTest, NoProgressForADownloadUnderASecond) {
    platform::useManualTimerClockForTesting();
    server.serve("/file", patternBody(3 * 32768));
    DownloadTask task = makeTask("/file");
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
    platform::advanceTimerClockForTesting(10000);
    EXPECT_TRUE(reports().empty());
}

TEST_F(LoaderTest, CancelledDownloadReturnsAndLeavesNoThreadBehind) {
    server.serve("/file", patternBody(10 * 32768));
    server.holdRange(0);
    server.holdRange(32768);
    std::stop_source termination;
    http.setTerminationToken(termination.get_token());
    loader->setTerminationToken(termination.get_token());

    DownloadTask task = makeTask("/file");
    platform::ManualResetEvent finished;
    int32_t result = -1;
    std::thread download([&] {
        result = loader->DownLoadFile(&task, &http, 0);
        finished.set();
    });
    ASSERT_TRUE(server.waitForRequest([](const auto& r) { return r.range == rangeOf(0); }));
    ASSERT_TRUE(server.waitForRequest([](const auto& r) { return r.range == rangeOf(1); }));
    EXPECT_EQ(finished.wait(0), platform::WaitResult::Timeout) << "the download cannot be over yet";
    EXPECT_EQ(downloaderThreads(), 3u);
    termination.request_stop();
    download.join();
    EXPECT_EQ(result, 230);
    EXPECT_EQ(downloaderThreads(), 0u) << "every thread of the download is joined when it returns";
    EXPECT_EQ(testsupport::readFile(target()).size(), 0u);
}

TEST_F(LoaderTest, StopStateEndsTheAssemblyWith230) {
    // The writer gives up at its first wait; the dripping server makes sure
    // there is one.
    server.serve("/file", patternBody(40 * 32768));
    server.setDrip(1024, std::chrono::milliseconds(20));
    loader->setState(kRunStateStopped);
    DownloadTask task = makeTask("/file");
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 230);
    EXPECT_EQ(server.countRequests("GET"), 0u) << "the piece threads read the same stop state";
    EXPECT_NE(logText().find("[Loader:303]_threadCompare quit with exitCode 224"), std::string::npos);
}

TEST_F(LoaderTest, ThreadsThatCannotStartFailTheTransfer) {
    struct Case {
        const char* name;
        platform::ThreadStartHook hook;
        const char* logged;
    };
    static std::atomic<int> loaderStarts{0};
    const Case cases[] = {
        {"assembling thread", [](const char* n) { return std::string(n) != "_threadCompare"; }, nullptr},
        {"first piece thread",
         [](const char* n) { return std::string(n) != "_threadLoader" || loaderStarts.fetch_add(1) != 0; },
         "[Loader:283]_thread 0 is NULL\r\n"},
    };
    const std::string body = patternBody(3 * 32768);
    server.serve("/file", body);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loaderStarts = 0;
        platform::setThreadStartHookForTesting(c.hook);
        DownloadTask task = makeTask("/file");
        EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 230);
        platform::setThreadStartHookForTesting(nullptr);
        if (c.logged != nullptr) {
            EXPECT_NE(logText().find(c.logged), std::string::npos) << logText();
            // The other piece thread fetched everything; the file is whole.
            EXPECT_TRUE(testsupport::readFile(target()) == body);
        } else {
            EXPECT_EQ(testsupport::readFile(target()).size(), 0u);
        }
    }
}

#ifndef _WIN32
// Left out on Windows: a write is made to fail part-way by the file-size
// limit (RLIMIT_FSIZE), which only Linux has.
TEST_F(LoaderTest, FailedBlockWriteEndsWith230AfterTheLastWholeBlock) {
    const std::string body = patternBody(100000);
    server.serve("/file", body);
    // The file-size limit makes the second block's write fail part-way.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = 40000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    DownloadTask task = makeTask("/file");
    const int32_t result = loader->DownLoadFile(&task, &http, 0);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(result, 230);
    EXPECT_TRUE(testsupport::readFile(target()) == body.substr(0, 32768));
    EXPECT_NE(logText().find("[Loader:409]writePiece Failed blockID = 1 ToWriteLen = 32768 LastErrCode = 27\r\n"),
              std::string::npos)
        << logText();
}
#endif

TEST_F(LoaderTest, BadTasksAndTargets) {
    server.serve("/file", patternBody(1000));
    EXPECT_EQ(loader->DownLoadFile(nullptr, &http, 0), 226);
    DownloadTask empty = makeTask("/file");
    empty.url[0] = '\0';
    EXPECT_EQ(loader->DownLoadFile(&empty, &http, 0), 226);
    DownloadTask wrongGeometry = makeTask("/file");
    wrongGeometry.fileSize = 1000;
    wrongGeometry.blockCount = 2;
    EXPECT_EQ(loader->DownLoadFile(&wrongGeometry, &http, 2), 226);
    EXPECT_EQ(server.countRequests("HEAD") + server.countRequests("GET"), 0u);

    // A folder that is a file cannot hold the target.
    testsupport::writeFile(home.data() / "blocker", "x");
    DownloadTask blocked = makeTask("/file");
    std::swprintf(blocked.folder, 1024, L"%ls/", (home.data() / "blocker").wstring().c_str());
    EXPECT_EQ(loader->DownLoadFile(&blocked, &http, 0), 228);
#ifdef _WIN32
    const std::string notAFolder = "3";  // ERROR_PATH_NOT_FOUND
#else
    const std::string notAFolder = "20";  // ENOTDIR
#endif
    const std::string line = "[Loader:85]CreateFile Failed filePath=" + (home.data() / "blocker").string() +
                             "/client.upd lastErrCode = " + notAFolder + "\r\n";
    EXPECT_NE(logText().find(line), std::string::npos) << logText();
}

TEST_F(LoaderTest, PresizedTasksSkipTheSizeQuery) {
    const std::string body = patternBody(32769);
    server.serve("/file", body);
    DownloadTask task = makeTask("/file");
    task.fileSize = 32769;
    task.blockCount = 2;
    task.blockSize = 32768;
    task.lastBlockSize = 1;
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 2), 0);
    EXPECT_TRUE(testsupport::readFile(target()) == body);

    DownloadTask nothing = makeTask("/file");
    EXPECT_EQ(loader->DownLoadFile(&nothing, &http, 2), 0);
    EXPECT_TRUE(std::filesystem::exists(target()));
    EXPECT_EQ(server.countRequests("HEAD"), 0u);
    EXPECT_EQ(server.countRequests("GET"), 2u);
}

TEST_F(LoaderTest, InstanceIsSharedUntilDestroyed) {
    EXPECT_EQ(Loader::instance(nullptr, nullptr, 5), loader);
}

}  // namespace

namespace {

// The writer's look at a missing piece and the piece threads' end, forced to
// interleave: the writer finds the last piece missing, then the piece threads
// start, deliver it and end, and only then does the writer go on.
std::promise<void>* g_writerLooked = nullptr;
std::shared_future<void> g_writerLookedFuture;

bool startPieceThreadsAfterTheWriterLooked(const char* name) {
    if (std::string(name) == "_threadLoader") {
        // Bounded, so a writer that never looks fails the test instead of
        // hanging it.
        (void)g_writerLookedFuture.wait_for(std::chrono::seconds(30));
    }
    return true;
}

}  // namespace

TEST_F(LoaderTest, LastPieceArrivingAsThePieceThreadsEndIsWritten) {
    const std::string body = patternBody(1000);
    server.serve("/file", body);
    std::promise<void> writerLooked;
    std::promise<void> threadsEnded;
    std::shared_future<void> threadsEndedFuture = threadsEnded.get_future().share();
    g_writerLooked = &writerLooked;
    g_writerLookedFuture = writerLooked.get_future().share();
    std::atomic<bool> interleaved{false};
    bool firstLook = true;
    Loader::TestHooks hooks;
    hooks.writerSawPieceMissing = [&](int32_t) {
        if (!firstLook) return;
        firstLook = false;
        g_writerLooked->set_value();
        interleaved = threadsEndedFuture.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    };
    hooks.pieceThreadsEnded = [&] { threadsEnded.set_value(); };
    loader->setHooksForTesting(hooks);
    platform::setThreadStartHookForTesting(startPieceThreadsAfterTheWriterLooked);

    DownloadTask task = makeTask("/file");
    EXPECT_EQ(loader->DownLoadFile(&task, &http, 0), 0);
    loader->setHooksForTesting({});
    g_writerLooked = nullptr;
    EXPECT_TRUE(interleaved) << "the writer looked again only after the piece threads had ended";
    EXPECT_TRUE(testsupport::readFile(target()) == body);
    EXPECT_EQ(loader->stopReason(), StopReason::Complete);
}

TEST_F(LoaderTest, PiecesWithOtherBytesThanAskedForFailTheDownload) {
    using Misanswer = testsupport::FakeHttpServer::Misanswer;
    constexpr uint32_t kSize = 3 * 32768 + 500;
    struct Case {
        const char* name;
        uint32_t piece;         // the piece that goes wrong
        Misanswer how;          // for that piece
        int64_t headLength;     // what the size query announces (-1: the size)
    };
    const Case cases[] = {
        {"short 206 naming the short range", 1, {0, -100, 0, 0}, -1},
        {"206 with fewer bytes than its Content-Range", 1, {0, 0, 0, -100}, -1},
        {"206 for another range", 1, {32768, 0, 0, 0}, -1},
        {"206 for a range one byte off", 1, {1, 0, 0, 0}, -1},
        {"206 naming another total", 1, {0, 0, 1000, 0}, -1},
        // Every 206 then names another total than the size query: the first
        // piece fails already.
        {"size query larger than the file", 0, {}, kSize + 1000},
        {"size query smaller than the file", 0, {}, kSize - 400},
    };
    const std::string body = patternBody(kSize);
    http.setRetryPauseForTesting(0);
    for (const auto& c : cases) {
        for (const bool once : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (once ? ", first try only" : ", every try"));
            testsupport::FakeHttpServer misbehaving;
            misbehaving.serve("/file", body);
            misbehaving.setHeadLength(c.headLength);
            if (c.headLength < 0) misbehaving.misanswerRange(c.piece * 32768u, c.how, once ? 1 : -1);
            DownloadTask task;
            std::snprintf(task.url, sizeof(task.url), "%s", misbehaving.url("/file").c_str());
            std::swprintf(task.folder, 1024, L"%ls/", folder.wstring().c_str());
            std::swprintf(task.fileName, 512, L"%ls", L"client.upd");
            std::size_t tries = 0;
            if (once && c.headLength >= 0) continue;  // a size query is never retried
            const int32_t result = loader->DownLoadFile(&task, &http, 0);
            for (const auto& r : misbehaving.requests()) tries += r.range == rangeOf(c.piece);
            if (once) {
                EXPECT_EQ(result, 0);
                EXPECT_TRUE(testsupport::readFile(target()) == body);
                EXPECT_EQ(tries, 2u);
            } else {
                EXPECT_EQ(result, 230);
                EXPECT_TRUE(testsupport::readFile(target()) == body.substr(0, c.piece * 32768u));
                EXPECT_EQ(tries, 3u) << "each try of the piece fails like a transfer error";
                EXPECT_EQ(loader->stopReason(), StopReason::PieceFailed);
            }
        }
    }
}

namespace {

// Piece threads start only once the test has set the run state it means.
std::shared_future<void> g_runStateSetFuture;

bool startPieceThreadsOnceTheRunStateIsSet(const char* name) {
    // Bounded, so a test that never sets it fails instead of hanging.
    if (std::string(name) == "_threadLoader") (void)g_runStateSetFuture.wait_for(std::chrono::seconds(30));
    return true;
}

}  // namespace

// The piece threads read the downloader's own run state through the HTTP
// object: paused, every piece thread hears 229 and fetches nothing until the
// state runs again; stopped, a piece thread hears 224 and the download fails.
// The writer, which gives up on a stop by itself, is held at its first look
// at the missing first piece until the piece threads have heard the state.
TEST_F(LoaderTest, PieceThreadsReadTheDownloadersRunState) {
    struct Case {
        const char* name;
        int8_t state;
        int32_t pieceCode;        // what loadPiece answers while the state holds
        std::size_t threadsHear;  // piece threads that hear it for sure
        int32_t result;           // of the download, once the state runs again
    };
    // The first piece thread that hears "stopped" ends the download: the
    // other one may never ask.
    const Case cases[] = {{"paused", kRunStatePaused, 229, 2, 0}, {"stopped", kRunStateStopped, 224, 1, 230}};
    const std::string body = patternBody(3 * 32768 + 5);
    server.serve("/file", body);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex lock;
        std::condition_variable answered;
        std::set<int> heard;  // piece threads that heard c.pieceCode
        auto allHeard = [&] { return heard.size() >= c.threadsHear; };
        std::promise<void> writerLooked;
        std::promise<void> runStateSet;
        g_runStateSetFuture = runStateSet.get_future().share();
        bool firstLook = true;
        Loader::TestHooks hooks;
        hooks.writerSawPieceMissing = [&](int32_t) {
            if (!firstLook) return;
            firstLook = false;
            writerLooked.set_value();
            std::unique_lock<std::mutex> wait(lock);
            answered.wait_for(wait, std::chrono::seconds(30), allHeard);
        };
        hooks.pieceAnswered = [&](int threadNo, int32_t code) {
            std::lock_guard<std::mutex> guard(lock);
            if (code == c.pieceCode) heard.insert(threadNo);
            answered.notify_all();
        };
        loader->setHooksForTesting(hooks);
        platform::setThreadStartHookForTesting(startPieceThreadsOnceTheRunStateIsSet);

        const std::size_t getsBefore = server.countRequests("GET");
        DownloadTask task = makeTask("/file");
        int32_t result = -1;
        std::thread download([&] { result = loader->DownLoadFile(&task, &http, 0); });
        const bool looked = writerLooked.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        loader->setState(c.state);
        runStateSet.set_value();
        bool held = false;
        {
            std::unique_lock<std::mutex> wait(lock);
            held = answered.wait_for(wait, std::chrono::seconds(30), allHeard);
        }
        const std::size_t getsWhileHeld = server.countRequests("GET") - getsBefore;
        loader->setState(kRunStateRunning);
        download.join();
        platform::setThreadStartHookForTesting(nullptr);
        loader->setHooksForTesting({});

        EXPECT_TRUE(looked);
        EXPECT_TRUE(held) << "the piece threads did not hear " << c.pieceCode;
        EXPECT_EQ(getsWhileHeld, 0u) << "nothing is fetched while the state holds the pieces";
        EXPECT_EQ(result, c.result);
        if (c.result == kDownloadOk) {
            EXPECT_TRUE(testsupport::readFile(target()) == body);
        } else {
            const std::string log = logText();
            const bool pieceThreadStopped =
                log.find("[Loader:288]_threadLoader:0 quit with exitCode 224 lastErrCode = ") != std::string::npos ||
                log.find("[Loader:288]_threadLoader:1 quit with exitCode 224 lastErrCode = ") != std::string::npos;
            EXPECT_TRUE(pieceThreadStopped) << log;
        }
    }
}
