// The program's side of crash reporting and the engine's installation:
// codes, log lines, refusals, and what installing and uninstalling do to the
// process's signal handlers and the threads' alternate stacks. Nothing here
// crashes (see tests/crash for that).
#include "app/CrashReport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <exception>
#include <filesystem>
#include <string>
#include <thread>

#include "crash/CrashEngine.h"
#include "crash/ThreadCrashHandler.h"
#include "foundation/Log.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/LogReader.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class CrashReportTest : public ::testing::Test {
protected:
    void TearDown() override {
        uninstallCrashReport();
        if (crash::isInstalled()) crash::uninstall();
        ReleaseLogger();
    }
    std::string log() {
        ReleaseLogger();
        return testsupport::readLogs(home);
    }
    // A sender that does nothing, in a folder of the test's own.
    fs::path makeSender(fs::perms perms = fs::perms::owner_all) {
        const fs::path folder = home.root() / "sender";
        writeFile(folder / "crashsender", "#!/bin/sh\nexit 0\n");
        fs::permissions(folder / "crashsender", perms);
        return folder;
    }
    crash::InstallRecord record(const std::wstring& senderFolder) {
        m_sender = senderFolder;
        crash::InstallRecord r;
        r.size = crash::kInstallRecordSize;
        r.appName = L"app";
        r.appVersion = L"1.2.3.4";
        r.url = L"http://127.0.0.1:9/index.php/crashReport/uploadExternal";
        r.senderFolder = m_sender.c_str();
        r.flags = 0x5FFF;
        return r;
    }
    static void* currentSegvHandler() {
        struct sigaction now{};
        sigaction(SIGSEGV, nullptr, &now);
        return reinterpret_cast<void*>(now.sa_sigaction);
    }
    static bool hasAltStack() { return (altStack().ss_flags & SS_DISABLE) == 0; }
    static stack_t altStack() {
        stack_t now{};
        sigaltstack(nullptr, &now);
        return now;
    }
    static bool sameStack(const stack_t& a, const stack_t& b) {
        const bool offA = (a.ss_flags & SS_DISABLE) != 0;
        const bool offB = (b.ss_flags & SS_DISABLE) != 0;
        return offA == offB && (offA || (a.ss_sp == b.ss_sp && a.ss_size == b.ss_size));
    }

    testsupport::TempHome home;
    std::wstring m_sender;
};

TEST_F(CrashReportTest, EmptyOrNullArgumentIsCodeOneWithOnlyTheOpeningLine) {
    struct Case {
        const wchar_t* folder;
        const wchar_t* name;
        const wchar_t* version;
        const char* line;
    };
    const Case cases[] = {
        {L".\\", L"", L"1.0.0.15", "[CrashReport:23] installCrashReport .\\  1.0.0.15\r\n"},
        {L".\\", nullptr, L"1.0.0.15", "[CrashReport:23] installCrashReport .\\ (null) 1.0.0.15\r\n"},
        {L"", L"morvel3_launcher", L"1.0.0.15", "[CrashReport:23] installCrashReport  morvel3_launcher 1.0.0.15\r\n"},
        {L".\\", L"morvel3_launcher", L"", "[CrashReport:23] installCrashReport .\\ morvel3_launcher \r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(installCrashReport(c.folder, c.name, c.version), kCrashReportBadArgument);
        EXPECT_FALSE(crashReportInstalled());
        const std::string text = log();
        EXPECT_NE(text.find(c.line), std::string::npos) << text;
        EXPECT_EQ(text.find("startMainCRpt"), std::string::npos);
        fs::remove_all(home.logFolder());
    }
}

TEST_F(CrashReportTest, MissingSenderIsCodeFourLoggedWithTheEngineTextAndTheSenderFolder) {
    // The test program's own folder has no sender beside it.
    std::wstring exe;
    ASSERT_TRUE(platform::moduleFileName(exe));
    const std::string folder = fs::path(platform::wideToUtf8(exe)).parent_path().string();
    ASSERT_FALSE(fs::exists(folder + "/crashsender"));

    EXPECT_EQ(installCrashReport(L".\\", L"morvel3_launcher", L"1.0.0.15"), kCrashReportEngineRefused);
    EXPECT_FALSE(crashReportInstalled());
    EXPECT_FALSE(crash::isInstalled());
    addCrashReportFile(L"LogFile", GetLogFilePath());
    uninstallCrashReport();
    const std::string text = log();
    EXPECT_NE(text.find("[CrashReport:23] installCrashReport .\\ morvel3_launcher 1.0.0.15\r\n"), std::string::npos);
    EXPECT_NE(text.find("[CrashReport:65] startMainCRpt failed ERROR:crash sender not found: " + folder +
                        "/crashsender senderPath:" + folder + "/.\\\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[CrashReport:75]uninstallCrashReport\r\n"), std::string::npos);
}

TEST_F(CrashReportTest, EngineRefusesWhatItCannotUse) {
    const fs::path good = makeSender();
    struct Case {
        const char* what;
        std::wstring folder;
        uint16_t size;
        const wchar_t* appName;
        const wchar_t* url;
        const char* error;
    };
    const fs::path notExecutable = home.root() / "noexec";
    writeFile(notExecutable / "crashsender", "#!/bin/sh\n");
    fs::permissions(notExecutable / "crashsender", fs::perms::owner_read | fs::perms::owner_write);
    const fs::path folderSender = home.root() / "dir";
    fs::create_directories(folderSender / "crashsender");
    const std::wstring goodW = platform::utf8ToWide(good.string());
    const Case cases[] = {
        {"no sender", platform::utf8ToWide((home.root() / "none").string()), 104, L"a", L"http://x/",
         "crash sender not found: "},
        {"sender not executable", platform::utf8ToWide(notExecutable.string()), 104, L"a", L"http://x/",
         "crash sender is not executable: "},
        {"sender is a folder", platform::utf8ToWide(folderSender.string()), 104, L"a", L"http://x/",
         "crash sender not found: "},
        {"wrong record size", goodW, 100, L"a", L"http://x/", "install record"},
        {"no application name", goodW, 104, L"", L"http://x/", "application name missing"},
        {"no upload URL", goodW, 104, L"a", nullptr, "upload URL missing"},
    };
    for (const auto& c : cases) {
        crash::InstallRecord r = record(c.folder);
        r.size = c.size;
        r.appName = c.appName;
        r.url = c.url;
        EXPECT_NE(crash::install(&r), crash::kOk) << c.what;
        EXPECT_EQ(platform::wideToUtf8(crash::lastErrorText()).rfind(c.error, 0), 0u)
            << c.what << ": " << platform::wideToUtf8(crash::lastErrorText());
        EXPECT_FALSE(crash::isInstalled());
    }
    EXPECT_NE(platform::wideToUtf8(crash::lastErrorText()).find("upload URL"), std::string::npos);
}

TEST_F(CrashReportTest, InstallTakesTheSignalsAndTerminateAndUninstallPutsThemBack) {
    void* const before = currentSegvHandler();
    const std::terminate_handler terminateBefore = std::get_terminate();
    const bool stackBefore = hasAltStack();
    // ".\" after the folder, as start-up spells it, means the folder itself.
    crash::InstallRecord r = record(platform::utf8ToWide(makeSender().string()) + L"/.\\");
    ASSERT_EQ(crash::install(&r), crash::kOk) << platform::wideToUtf8(crash::lastErrorText());
    EXPECT_TRUE(crash::isInstalled());
    EXPECT_NE(currentSegvHandler(), before);
    EXPECT_NE(std::get_terminate(), terminateBefore);
    EXPECT_TRUE(hasAltStack());
    const fs::path root = home.config() / "Keltora/morvel3/CrashReports";
    EXPECT_EQ(crash::reportsRoot(), root.string());
    EXPECT_EQ(fs::status(root).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_NE(crash::install(&r), crash::kOk) << "a second install";

    EXPECT_EQ(crash::uninstall(), crash::kOk);
    EXPECT_FALSE(crash::isInstalled());
    EXPECT_EQ(currentSegvHandler(), before);
    EXPECT_EQ(std::get_terminate(), terminateBefore);
    EXPECT_EQ(hasAltStack(), stackBefore);
    EXPECT_NE(crash::uninstall(), crash::kOk);
}

TEST_F(CrashReportTest, AttachedFilesMustExistBeRegularAndDistinctAndFew) {
    crash::InstallRecord r = record(platform::utf8ToWide(makeSender().string()));
    ASSERT_EQ(crash::install(&r), crash::kOk);
    const fs::path files = home.root() / "files";
    fs::create_directories(files / "folder");
    const auto attach = [&](const fs::path& p, const wchar_t* name = nullptr) {
        return crash::addFile(platform::utf8ToWide(p.string()).c_str(), name, L"desc", crash::kFileFlagCopy);
    };
    EXPECT_NE(attach(files / "missing.log"), crash::kOk);
    EXPECT_NE(attach(files / "folder"), crash::kOk);
    writeFile(files / "a.log", "a");
    EXPECT_EQ(attach(files / "a.log"), crash::kOk);
    EXPECT_NE(attach(files / "a.log"), crash::kOk) << "the same name twice";
    EXPECT_NE(attach(files / "a.log", L"../escape"), crash::kOk) << "a name that leaves the report";
    for (int i = 1; i < 8; ++i) {
        writeFile(files / ("f" + std::to_string(i)), "x");
        EXPECT_EQ(attach(files / ("f" + std::to_string(i))), crash::kOk) << i;
    }
    writeFile(files / "ninth", "x");
    EXPECT_NE(attach(files / "ninth"), crash::kOk);
}

TEST_F(CrashReportTest, ThreadHandlersGiveEachThreadItsOwnStackOnlyWhileInstalled) {
    // A sanitizer may give every thread an alternate stack of its own; the
    // engine's replaces it for the scope and gives it back.
    // Not installed: nothing happens to the thread.
    std::thread([] {
        const stack_t before = altStack();
        const ThreadCrashScope scope;
        EXPECT_TRUE(sameStack(altStack(), before));
    }).join();

    crash::InstallRecord r = record(platform::utf8ToWide(makeSender().string()));
    ASSERT_EQ(crash::install(&r), crash::kOk);
    std::thread([] {
        const stack_t before = altStack();
        stack_t ours{};
        {
            const ThreadCrashScope outer;
            ours = altStack();
            EXPECT_EQ(ours.ss_flags & SS_DISABLE, 0);
            EXPECT_NE(ours.ss_sp, before.ss_sp);
            {
                // A timer callback that runs inside a thread procedure.
                const ThreadCrashScope inner;
                EXPECT_TRUE(sameStack(altStack(), ours));
            }
            EXPECT_TRUE(sameStack(altStack(), ours));
        }
        EXPECT_TRUE(sameStack(altStack(), before));
        // Again on the same thread, as a periodic callback does.
        for (int i = 0; i < 3; ++i) {
            const ThreadCrashScope again;
            EXPECT_TRUE(sameStack(altStack(), ours));
        }
        EXPECT_TRUE(sameStack(altStack(), before));
    }).join();
}

}  // namespace
