// The whole update workflow: the upgrade manager against the real update
// service, with the real sample launcher installed, started or already
// running, and a scripted window in place of the progress window.
#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Log.h"
#include "foundation/ZipUtil.h"
#include "platform/marker.h"
#include "platform/timer.h"
#include "service/KTUpgrade.h"
#include "support/ChildProcess.h"
#ifndef _WIN32
#include "support/DiskFaults.h"
#endif
#include "support/FakeHttpServer.h"
#include "support/FakeLauncherWindow.h"
#include "support/LinuxPrograms.h"
#include "support/LogReader.h"
#include "support/Process.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "support/Threads.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"
#include "support/ZipBuilder.h"
#include "upgrade/upgradeManager.h"

namespace fs = std::filesystem;

// Failures name the worker's state by its code.
void PrintTo(WorkerState state, std::ostream* os) { *os << static_cast<int32_t>(state); }
using testsupport::FakeLauncherWindow;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct Event {
    std::string event;
    std::string ver;
};

// The value of form field `key` in one JSON line the service wrote.
std::string fieldOf(const std::string& line, const std::string& key) {
    const std::string head = "\"" + key + "\":\"";
    const std::size_t at = line.find(head);
    if (at == std::string::npos) return "<none>";
    const std::size_t start = at + head.size();
    return line.substr(start, line.find('"', start) - start);
}

std::vector<std::string> linesOf(const fs::path& path) { return testsupport::textLines(readFile(path)); }

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Every file below `folder` with its MD5, except the records the sample
// launcher writes next to itself when it runs.
std::map<std::string, std::string> filesOf(const fs::path& folder) {
    std::map<std::string, std::string> out;
    if (!fs::exists(folder)) return out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        const bool record = name.rfind("launcher.", 0) == 0 && name != "launcher.exe" && name != "launcher.db";
        if (!e.is_regular_file() || record) continue;
        out[fs::relative(e.path(), folder).string()] = testsupport::md5Hex(readFile(e.path()));
    }
    return out;
}

std::size_t threadCount() { return testsupport::threadNames().size(); }

class Workflow : public ::testing::Test {
protected:
    void SetUp() override {
        game = home.root() / "game folder";
        fs::create_directories(game);
        files = home.root() / "files";
        // Spelt as the program's log spells them: the known folder, then "/"
        // (fs::path would join them with "\" on Windows).
        install = home.data().string() + "/Keltora/morvel3";
        staging = fs::path(install) += kStagingSuffix;
        client = install / "client";
        temp = home.config().string() + "/Keltora/morvel3/temp";
        gameWide = game.wstring();
    }
    void TearDown() override {
        manager.reset();
        delete ktUpgrade;
        EXPECT_EQ(testsupport::stopLaunchers(client), "");
        UpgradeManager::setLoaderFactoryForTesting(nullptr);
        ReleaseLogger();
    }

    // A package of the sample launcher at `version` served as files/client.zip.
    std::string publish(const std::string& version, const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        const fs::path stage = home.root() / ("stage-" + version);
        const std::string md5 = testsupport::makeLauncherPackage(stage, version, files / "client.zip", extra);
        EXPECT_EQ(md5.size(), 32u) << "mkpackage failed";
        return md5;
    }
    // Installs the published package as the installed launcher.
    void installPublished() {
        ASSERT_EQ(getZipUtil()->UnZipFile((files / "client.zip").wstring().c_str(), (install.wstring() + L"/").c_str()),
                  0);
    }
    void startService(const std::string& version, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--quiet",
                                         "--version",
                                         version,
                                         "--files",
                                         testsupport::linuxPath(files),
                                         "--events",
                                         testsupport::linuxPath(home.root() / "events.jsonl"),
                                         "--checks",
                                         testsupport::linuxPath(home.root() / "checks.jsonl")};
        if (fs::exists(files / "client.zip") && std::find(extra.begin(), extra.end(), "--package-url") == extra.end() &&
            std::find(extra.begin(), extra.end(), "--package") == extra.end()) {
            args.push_back("--package");
            args.push_back("client.zip");
        }
        args.insert(args.end(), extra.begin(), extra.end());
        service = std::make_unique<testsupport::UpdateService>(args);
        ASSERT_FALSE(service->base().empty());
        writeFile(game / "launcher.ini", "[UPGRADE]\nSERVER_UPGRADE_0=" + service->base() + "\n");
    }
    void startManager() {
        // The client the entry point would have made, reading this game folder.
        ktUpgrade = getKTUpgrade(gameWide.c_str(), LogServiceError);
        manager = std::make_unique<UpgradeManager>();
        manager->setProgramFolderForTesting(gameWide.c_str());
        ASSERT_EQ(manager->checkUpgrade(win.get()), 0);
    }
    // Runs the workflow to the window's close, as the entry point's loop
    // does, then destroys the manager. Returns the worker's state.
    WorkerState run() {
        startManager();
        return finish();
    }
    // The rest of run(), for a test that acts while the workflow runs.
    WorkerState finish() {
        EXPECT_TRUE(win->waitClosed()) << log();
        auto state = static_cast<WorkerState>(12345);
        EXPECT_TRUE(manager->waitWorker(60000, state));
        manager.reset();
        // The client reads its configuration once: the next run gets a new one.
        delete ktUpgrade;
        ktUpgrade = nullptr;
        ReleaseLogger();
        return state;
    }

    std::vector<Event> events() const {
        std::vector<Event> out;
        for (const auto& l : linesOf(home.root() / "events.jsonl")) out.push_back({fieldOf(l, "event"), fieldOf(l, "ver")});
        return out;
    }
    std::vector<std::string> checkedVersions() const {
        std::vector<std::string> out;
        for (const auto& l : linesOf(home.root() / "checks.jsonl")) out.push_back(fieldOf(l, "ver"));
        return out;
    }
    std::string log() const { return testsupport::readLogs(home); }
    // The arguments of each launcher start, once the last start has written them.
    std::vector<std::vector<std::string>> starts(std::size_t expected) {
        if (expected > 0) {
            EXPECT_TRUE(testsupport::waitLauncherMarker(true));
        }
        std::vector<std::vector<std::string>> out;
        for (const auto& s : testsupport::launcherStarts(client)) out.push_back(s.args);
        return out;
    }
    // Between the cases of one test: waits for the `expected` launcher
    // starts the case made, ends them and forgets them.
    void endLaunchers(std::size_t expected) {
        EXPECT_EQ(starts(expected).size(), expected);
        EXPECT_EQ(testsupport::stopLaunchers(client), "");
        fs::remove(client / "launcher.args");
    }
    // Waits until `part` has been logged; false after 30 s.
    bool waitLogged(const std::string& part) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (log().find(part) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::string gameArg() const { return "-gamepath=" + game.string(); }

    testsupport::TempHome home;
    fs::path game, files, install, staging, client, temp;
    std::wstring gameWide;
    std::unique_ptr<testsupport::UpdateService> service;
    KTUpgrade* ktUpgrade = nullptr;
    std::unique_ptr<FakeLauncherWindow> win = std::make_unique<FakeLauncherWindow>();
    std::unique_ptr<UpgradeManager> manager;
};

// State 0: nothing installed; the package is fetched, checked, unpacked and
// its launcher started with the game folder (which has a space) as one
// argument.
TEST_F(Workflow, FirstRunInstallsAndStartsTheLauncher) {
    publish("2.0.0.0", {{"client/data/readme.txt", "sample data"}, {"client/empty.txt", ""}});
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::Current);

    EXPECT_EQ(win->warnings(), std::vector<uint32_t>{});
    EXPECT_EQ(win->calls(), (std::vector<std::string>{"IsLauncherRunning", "Close"}));
    EXPECT_EQ(win->lastProgress(), 500u);
    EXPECT_EQ(checkedVersions(), std::vector<std::string>{"0.0.0.0"});
    const auto ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].event, "LHR_CHK");
    EXPECT_EQ(ev[0].ver, "0.0.0.0");
    EXPECT_EQ(ev[1].event, "LHR_UPD");
    EXPECT_EQ(ev[1].ver, "2.0.0.0");
    EXPECT_EQ(readFile(client / "data/readme.txt"), "sample data");
    EXPECT_FALSE(fs::exists(temp / "client.upd")) << "the package is deleted after its check";
    EXPECT_FALSE(fs::exists(staging)) << "nothing is left where the package was unpacked";
    EXPECT_EQ(starts(1), (std::vector<std::vector<std::string>>{{gameArg()}}));

    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:605]Check Zip File MD5 failed path:" + temp.string() + "/client.upd\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[upgradeManager:386]launcherURL:" + service->base() + "files/client.zip\r\n"), std::string::npos);
    EXPECT_NE(text.find("[upgradeManager:641]StartLauncher Arg:\"" + gameArg() + "\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n"), std::string::npos);
    EXPECT_LT(text.find("[upgradeManager:204]_ThreadCheckVersion wait progress End"),
              text.find("[upgradeManager:641]StartLauncher"))
        << "the launcher starts only after the bar is full";
}

// FILECMP 0/1/2 with an installed launcher whose listed file was changed
// and made read-only; the service names the installed version.
TEST_F(Workflow, DamagedInstalledFileWithEachFileCompareSetting) {
    struct Case {
        const char* debug;
        const char* asked;
        bool downloads;
    };
    const Case cases[] = {{nullptr, "0.0.0.0", true}, {"1", "0.0.0.0", true}, {"0", "2.0.0.0", false}, {"2", "2.0.0.0", false}};
    publish("2.0.0.0", {{"client/data/readme.txt", "sample data"}});
    startService("2.0.0.0");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.debug ? c.debug : "no debug.ini");
        installPublished();
        const fs::path damaged = client / "data/readme.txt";
        fs::permissions(damaged, fs::perms::owner_write, fs::perm_options::add);
        writeFile(damaged, "changed");
        fs::permissions(damaged, fs::perms::owner_read);
        fs::remove(game / "debug.ini");
        if (c.debug) writeFile(game / "debug.ini", std::string("[DEBUG]\nFILECMP=") + c.debug + "\n");
        fs::remove(home.root() / "checks.jsonl");
        fs::remove(home.root() / "events.jsonl");
        win = std::make_unique<FakeLauncherWindow>();

        EXPECT_EQ(run(), WorkerState::Current);
        EXPECT_EQ(checkedVersions(), std::vector<std::string>{c.asked});
        const auto ev = events();
        ASSERT_EQ(ev.size(), 2u);
        EXPECT_EQ(ev[0].ver, "2.0.0.0") << "LHR_CHK carries the installed version";
        EXPECT_EQ(ev[1].ver, "2.0.0.0");
        EXPECT_EQ(readFile(damaged), c.downloads ? "sample data" : "changed");
        const bool writable = (fs::status(damaged).permissions() & fs::perms::owner_write) != fs::perms::none;
        EXPECT_EQ(writable, c.downloads) << "only a compared file is made writable";
        endLaunchers(1);
    }
}

// State 0 without any download: the installed launcher is current.
TEST_F(Workflow, CurrentLauncherStartsWithoutDownload) {
    publish("2.0.0.0");
    installPublished();
    // What a run killed while unpacking left: gone, although nothing is installed.
    writeFile(staging / "client/launcher.exe", "half written");
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_FALSE(fs::exists(staging));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].event, "LHR_UPD");
    EXPECT_EQ(ev[1].ver, "2.0.0.0");
    EXPECT_EQ(log().find("[upgradeManager:386]"), std::string::npos) << "no download";
    EXPECT_EQ(starts(1), (std::vector<std::vector<std::string>>{{gameArg()}}));
}

// A valid client.upd left by an earlier run is unpacked without a download,
// kept, and LHR_UPD goes out with an empty version.
TEST_F(Workflow, LeftoverPackageIsReused) {
    publish("2.0.0.0");
    fs::create_directories(temp);
    fs::copy_file(files / "client.zip", temp / "client.upd");
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::Current);
    const auto ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].event, "LHR_UPD");
    EXPECT_EQ(ev[1].ver, "");
    EXPECT_TRUE(fs::exists(temp / "client.upd"));
    const std::string text = log();
    EXPECT_EQ(text.find("[upgradeManager:605]"), std::string::npos) << text;
    EXPECT_EQ(text.find("[Loader:"), std::string::npos) << "nothing was downloaded";
    EXPECT_EQ(starts(1).size(), 1u);
}

// State 1: without a downloader there is no report and no service check;
// the installed launcher is started.
TEST_F(Workflow, NoDownloaderStartsTheInstalledLauncher) {
    publish("1.0.0.0");
    installPublished();
    startService("2.0.0.0");
    UpgradeManager::setLoaderFactoryForTesting([](ProgressCallback, void*, int32_t) -> Loader* { return nullptr; });
    EXPECT_EQ(run(), WorkerState::NoDownloader);
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(checkedVersions().empty());
    EXPECT_NE(log().find("[upgradeManager:158]_ThreadCheckVersion END with pManager->m_pDownLoader is NULL\r\n"),
              std::string::npos);
    EXPECT_EQ(starts(1), (std::vector<std::vector<std::string>>{{gameArg()}}));
}

#ifndef _WIN32
// Left out on Windows: it is about POSIX modes (group and others
// may write), which Windows files do not have.
// Whatever modes a package stores, nothing it brings may be written by
// group or others; and a launcher that others may write (its modes changed
// after the install) is not started: warning 117, the start fails with 13,
// the launcher is the player's alone again, and the next run, whose check
// finds it as listed, starts it.
TEST_F(Workflow, NothingOthersMayWriteIsInstalledOrStarted) {
    const std::string exe = readFile(testsupport::sampleLauncherProgram());
    const std::string data = "shared data";
    const std::string db = "{\"files\":[{\"client/data/shared.bin\":\"" + testsupport::md5Hex(data) +
                           "\"},{\"client/launcher.exe\":\"" + testsupport::md5Hex(exe) + "\"}],\"version\":\"2.0.0.0\"}";
    fs::create_directories(files);
    testsupport::ZipBuilder()
        .unixFile("client/launcher.exe", exe, 0100777)
        .unixFile("client/data/shared.bin", data, 0100666)
        .unixFile("client/launcher.db", db, 0100664)
        .writeTo(files / "client.zip");
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_EQ(fs::status(client / "launcher.exe").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(client / "data/shared.bin").permissions(), fs::perms(0644));
    EXPECT_EQ(fs::status(client / "launcher.db").permissions(), fs::perms(0644));
    endLaunchers(1);

    fs::permissions(client / "launcher.exe", fs::perms::all);
    win = std::make_unique<FakeLauncherWindow>();
    startManager();
    auto state = static_cast<WorkerState>(12345);
    EXPECT_TRUE(manager->waitWorker(60000, state));
    EXPECT_EQ(state, WorkerState::Current);
    EXPECT_EQ(win->warnings(), std::vector<uint32_t>{117});
    EXPECT_EQ(win->calls(), (std::vector<std::string>{"IsLauncherRunning", "ShowWarning 117"}));
    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:210]_ThreadCheckVersion END with start launcher.exe Failed 13\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(testsupport::launcherStarts(client).size(), 0u) << "it was started";
    EXPECT_EQ(fs::status(client / "launcher.exe").permissions(), fs::perms(0755));
    manager.reset();
    delete ktUpgrade;
    ktUpgrade = nullptr;
    ReleaseLogger();

    fs::remove_all(home.logFolder());
    win = std::make_unique<FakeLauncherWindow>();
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_EQ(win->warnings(), std::vector<uint32_t>{});
    EXPECT_EQ(starts(1), (std::vector<std::vector<std::string>>{{gameArg()}}));
}
#endif

// What an earlier run that was killed while unpacking left in the staging
// folder is cleared first: none of it reaches the install, none stays.
TEST_F(Workflow, LeftoverStagingFolderIsCleared) {
    publish("2.0.0.0");
    fs::create_directories(staging / "client/deep/er");
    writeFile(staging / "client/stale.dll", "from a killed run");
    writeFile(staging / "client/launcher.db", "{\"files\":[],\"version\":\"9.9.9.9\"}");
    writeFile(staging / "client/deep/er/locked.txt", "read-only");
    fs::permissions(staging / "client/deep/er/locked.txt", fs::perms::owner_read);
#ifdef _WIN32
    // The library has no links on Windows: the system's directory symbolic
    // link, a reparse point.
    ASSERT_TRUE(::CreateSymbolicLinkW((staging / "client/link").c_str(), home.root().c_str(),
                                      SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        << ::GetLastError();
#else
    fs::create_directory_symlink(home.root(), staging / "client/link");
#endif
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_FALSE(fs::exists(client / "stale.dll"));
    EXPECT_FALSE(fs::exists(client / "deep"));
    EXPECT_TRUE(fs::exists(home.root() / "events.jsonl")) << "the link was removed, never followed";
    EXPECT_EQ(events().back().ver, "2.0.0.0");
    EXPECT_EQ(starts(1).size(), 1u);
}

// The place of a listed file taken by a folder, or a folder of the package
// taken by a file: left there, every update would fail for ever. The install
// folder is the program's own, so exactly that place is cleared, and logged.
TEST_F(Workflow, WhatStandsInThePackagesWayIsReplaced) {
    struct Case {
        const char* what;
        const char* inTheWay;
        bool folder;
    };
    const Case cases[] = {{"a folder where a file belongs", "client/data/readme.txt", true},
                          {"a file where a folder belongs", "client/data", false}};
    publish("2.0.0.0", {{"client/data/readme.txt", "sample data"}});
    startService("2.0.0.0");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        installPublished();
        const auto installed = filesOf(install);
        fs::remove_all(install / c.inTheWay);
        if (c.folder) {
            writeFile(install / c.inTheWay / "inside/file.txt", "x");
        } else {
            writeFile(install / c.inTheWay, "x");
        }
        fs::remove_all(home.logFolder());
        fs::remove(home.root() / "checks.jsonl");
        win = std::make_unique<FakeLauncherWindow>();
        EXPECT_EQ(run(), WorkerState::Current);
        EXPECT_EQ(checkedVersions(), std::vector<std::string>{"0.0.0.0"});
        EXPECT_EQ(filesOf(install), installed) << "repaired";
        EXPECT_NE(log().find("[upgradeManager:628]Remove what is in the way path:" + install.string() + "/" + c.inTheWay +
                             "\r\n"),
                  std::string::npos)
            << log();
        endLaunchers(1);
    }
}

#ifndef _WIN32
// Left out on Windows: the file that cannot be replaced is made so with
// the immutable flag of Linux file systems.
// The file list moves last. While the old list cannot be replaced (made
// immutable here) every other file of the package is moved and each try
// fails; the old list then no longer matches the files, so the next run
// sees a damaged launcher and installs the package whole.
TEST_F(Workflow, ListMovesLastAndAnInterruptedMoveIsRepaired) {
    publish("1.0.0.0", {{"client/data/readme.txt", "version 1 data"}});
    installPublished();
    const std::string oldList = readFile(client / "launcher.db");
    testsupport::ImmutableFlag pinned(client / "launcher.db");
    if (!pinned.available()) GTEST_SKIP() << pinned.why();
    publish("2.0.0.0", {{"client/data/readme.txt", "version 2 data"}, {"client/new.dll", "new"}});
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::NotInstalled);
    EXPECT_EQ(win->warnings(), std::vector<uint32_t>{113});
    EXPECT_EQ(readFile(client / "launcher.db"), oldList);
    EXPECT_EQ(readFile(client / "data/readme.txt"), "version 2 data") << "every other file was moved first";
    EXPECT_FALSE(fs::exists(staging));
    std::string text = log();
    EXPECT_EQ(countOf(text, "[upgradeManager:631]MoveFile failed lastErrID:1 from:" + staging.string() +
                                "/client/launcher.db to:" + install.string() + "/client/launcher.db\r\n"),
              std::size_t(kPackageTries))
        << text;
    EXPECT_EQ(countOf(text, "[upgradeManager:396]download launcher.zip failed ResCode 3 "), std::size_t(kPackageTries));
    endLaunchers(1);

    pinned.clear();
    fs::remove_all(home.logFolder());
    fs::remove(home.root() / "checks.jsonl");
    win = std::make_unique<FakeLauncherWindow>();
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_EQ(checkedVersions(), std::vector<std::string>{"0.0.0.0"}) << "the old list no longer matches";
    EXPECT_EQ(events().back().ver, "2.0.0.0");
    EXPECT_NE(readFile(client / "launcher.db").find("\"2.0.0.0\""), std::string::npos);
    EXPECT_EQ(readFile(client / "new.dll"), "new");
    EXPECT_EQ(starts(1).size(), 1u);
}
#endif

// A package that carries only what changed: its list names files it does
// not carry, which are checked where they are installed and stay there
// untouched. A listed file in neither place fails every try as before, and
// so does one the package would remove by putting a file where its folder is.
TEST_F(Workflow, PackageOfChangedFilesKeepsWhatItDoesNotCarry) {
    struct Case {
        const char* what;
        bool keptFileInstalled;
        bool packageShadowsIt = false;
    };
    const Case cases[] = {{"the unchanged file is installed", true},
                          {"the unchanged file is missing", false},
                          {"the package puts a file where its folder is", true, true}};
    publish("1.0.0.0", {{"client/data/readme.txt", "version 1 data"}, {"client/kept/unchanged.bin", "kept as it is"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool installs = c.keptFileInstalled && !c.packageShadowsIt;
        testsupport::removeTree(install);
        installPublished();
        if (!c.keptFileInstalled) fs::remove(client / "kept/unchanged.bin");
        const auto installed = filesOf(install);
        // Version 2 changes the readme only; its list names the installed
        // launcher and the unchanged file with their installed MD5s.
        const std::string exeMd5 = testsupport::md5Hex(readFile(client / "launcher.exe"));
        testsupport::ZipBuilder changed;
        changed.file("client/data/readme.txt", "version 2 data");
        if (c.packageShadowsIt) changed.file("client/kept", "a file in place of a folder");
        changed.file("client/launcher.db",
                     "{\"files\":[{\"client/launcher.exe\":\"" + exeMd5 + "\"},{\"client/data/readme.txt\":\"" +
                         testsupport::md5Hex("version 2 data") + "\"},{\"client/kept/unchanged.bin\":\"" +
                         testsupport::md5Hex("kept as it is") + "\"}],\"version\":\"2.0.0.0\"}");
        changed.writeTo(files / "changed.zip");
        // The service refuses a package that is not there yet; once started,
        // it serves each case's rewritten one.
        if (!service) startService("2.0.0.0", {"--package", "changed.zip"});
        fs::remove(home.root() / "events.jsonl");
        fs::remove_all(home.logFolder());
        win = std::make_unique<FakeLauncherWindow>();

        const std::string text = [&] {
            const WorkerState state = run();
            EXPECT_EQ(state, installs ? WorkerState::Current : WorkerState::NotInstalled);
            return log();
        }();
        EXPECT_FALSE(fs::exists(staging));
        const auto ev = events();
        if (installs) {
            EXPECT_EQ(win->warnings(), std::vector<uint32_t>{});
            ASSERT_EQ(ev.size(), 2u);
            EXPECT_EQ(ev[1].event, "LHR_UPD");
            EXPECT_EQ(ev[1].ver, "2.0.0.0");
            EXPECT_EQ(readFile(client / "data/readme.txt"), "version 2 data");
            EXPECT_EQ(readFile(client / "kept/unchanged.bin"), "kept as it is");
            EXPECT_EQ(testsupport::md5Hex(readFile(client / "launcher.exe")), exeMd5);
            EXPECT_NE(readFile(client / "launcher.db").find("\"2.0.0.0\""), std::string::npos);
        } else {
            EXPECT_EQ(win->warnings(), std::vector<uint32_t>{113});
            EXPECT_EQ(filesOf(install), installed) << "the installed launcher is exactly as it was";
            EXPECT_EQ(countOf(text, "[upgradeManager:512]check file not exist file:" + staging.string() +
                                        "/client/kept/unchanged.bin\r\n"),
                      std::size_t(kPackageTries))
                << text;
            EXPECT_EQ(countOf(text, "[upgradeManager:396]download launcher.zip failed ResCode 5 "),
                      std::size_t(kPackageTries));
            ASSERT_EQ(ev.size(), 1u) << "no LHR_UPD";
        }
        endLaunchers(1);
    }
}

#ifndef _WIN32
// Left out on Windows: it hides the ending launcher's marker and pipe in a
// runtime folder of its own; on Windows they are named objects of the
// session, which a process cannot be kept from.
// A launcher process that has released its marker and pipe but is still
// ending runs from client/launcher.exe while the update replaces it. The
// executable of a running process cannot be opened for writing (ETXTBSY);
// the rename of the staged file replaces it all the same, and the running
// process keeps its own copy.
TEST_F(Workflow, UpdateReplacesTheExecutableOfALauncherStillEnding) {
    publish("1.0.0.0");
    installPublished();
    const fs::path otherRuntime = home.root() / "other runtime";
    fs::create_directories(otherRuntime);
    fs::permissions(otherRuntime, fs::perms::owner_all);
    // Its own runtime folder: its marker and pipe are out of the workflow's sight.
    testsupport::ChildProcess ending(client / "launcher.exe",
                                     {"--no-pipe", "--no-window", "--ready", (home.root() / "ready").string()}, home.root(),
                                     {{"XDG_RUNTIME_DIR", otherRuntime.string()}});
    ASSERT_TRUE(testsupport::waitForFile(home.root() / "ready"));
    const std::string oldExe = readFile(client / "launcher.exe");
    // The same program with a few bytes more: still the sample launcher.
    publish("2.0.0.0", {{"client/launcher.exe", oldExe + "version 2"}});
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_TRUE(readFile(client / "launcher.exe") == oldExe + "version 2") << "the new executable is in place";
    EXPECT_EQ(events().back().ver, "2.0.0.0");
    EXPECT_EQ(log().find("[upgradeManager:622]"), std::string::npos) << log();
    EXPECT_TRUE(ending.running()) << "the old process was left alone";
    EXPECT_EQ(starts(2).size(), 2u);
}
#endif

// State 2 and the package edge cases: each try fails, warning 113, and the
// installed launcher (1.0.0.0) is started.
TEST_F(Workflow, PackageThatCannotBeInstalled) {
    struct Case {
        const char* what;
        int tries;
        const char* code;
        // A copy of the served package left as client.upd by an earlier run.
        bool leftover = false;
    };
    publish("1.0.0.0", {{"client/data/readme.txt", "version 1 data"}});
    installPublished();
    // A package whose list names a file it does not contain, and that
    // brings other files of its own: none of them may reach the install.
    testsupport::ZipBuilder lacking;
    lacking.unixFile("client/launcher.exe", readFile(testsupport::sampleLauncherProgram()) + "v2",
                     0100755);
    lacking.file("client/data/readme.txt", "version 2 data");
    lacking.file("client/new.dll", "only in version 2");
    lacking.file("client/launcher.db", "{\"files\":[{\"client/missing.dll\":\"0123\"}],\"version\":\"2.0.0.0\"}");
    lacking.writeTo(files / "lacking.zip");
    // A package server that fails the first piece with 404.
    testsupport::FakeHttpServer broken;
    broken.serve("/client.zip", readFile(files / "client.zip"));
    broken.failRange(0, 404);

    const std::vector<std::pair<Case, std::vector<std::string>>> cases = {
        {{"package MD5 differs", kPackageTries, "ResCode 3 "}, {"--md5", std::string(32, '0')}},
        {{"listed file missing", kPackageTries, "ResCode 5 "}, {"--package", "lacking.zip"}},
        // Kept, it would be installed unchecked at every run: it goes, and
        // each try fetches the package afresh.
        {{"listed file missing, package left by an earlier run", kPackageTries, "ResCode 5 ", true}, {"--package", "lacking.zip"}},
        {{"DownLoadFile 230", 1, "ResCode 230 "},
         {"--package-url", broken.url("/client.zip"), "--md5", testsupport::md5Hex(readFile(files / "client.zip"))}},
    };
    for (const auto& [c, args] : cases) {
        SCOPED_TRACE(c.what);
        installPublished();
        const auto installed = filesOf(install);
        fs::remove(home.root() / "events.jsonl");
        fs::remove_all(home.logFolder());
        win = std::make_unique<FakeLauncherWindow>();
        service.reset();
        startService("2.0.0.0", args);
        if (c.leftover) {
            fs::create_directories(temp);
            fs::copy_file(files / "lacking.zip", temp / "client.upd");
        }
        EXPECT_EQ(run(), WorkerState::NotInstalled);
        EXPECT_EQ(filesOf(install), installed) << "the installed launcher is exactly as it was";
        EXPECT_FALSE(fs::exists(staging));
        if (c.leftover) {
            EXPECT_FALSE(fs::exists(temp / "client.upd"));
        }
        EXPECT_EQ(win->warnings(), std::vector<uint32_t>{113});
        const std::string text = log();
        EXPECT_EQ(countOf(text, "[upgradeManager:396]download launcher.zip failed " + std::string(c.code)), std::size_t(c.tries))
            << text;
        EXPECT_NE(text.find("[upgradeManager:190]_ThreadCheckVersion END with Load launcher or agent zip file failed rescode:2\r\n"),
                  std::string::npos);
        const auto ev = events();
        ASSERT_EQ(ev.size(), 1u) << "no LHR_UPD";
        EXPECT_EQ(ev[0].ver, "1.0.0.0");
        endLaunchers(1);
    }
    EXPECT_EQ(broken.countRequests("HEAD"), 1u) << "230 allows no second try";
}

// State -2: the service check fails; warning 104, then the installed
// launcher starts.
TEST_F(Workflow, ServiceCheckFailureStartsTheInstalledLauncher) {
    publish("1.0.0.0");
    installPublished();
    startService("2.0.0.0", {"--check-status", "500"});
    EXPECT_EQ(run(), WorkerState::CheckFailed);
    EXPECT_EQ(win->warnings(), std::vector<uint32_t>{104});
    const auto ev = events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].event, "LHR_CHK");
    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:318]checkLauncherUpgrade failed resVal:-2 \r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[upgradeManager:175]_ThreadCheckVersion END with getUpdateUrl failed rescode:-2\r\n"),
              std::string::npos);
    EXPECT_EQ(starts(1), (std::vector<std::vector<std::string>>{{gameArg()}}));
}

// State 231: a launcher runs, answers on its pipe, and the versions are
// equal: one 0x80, the window hidden, no second launcher.
TEST_F(Workflow, RunningCurrentLauncherIsToldToComeForward) {
    publish("2.0.0.0");
    installPublished();
    startService("2.0.0.0");
    testsupport::ChildProcess running(client / "launcher.exe", {"--ready", (home.root() / "ready").string(), "-gamepath=first"});
    ASSERT_TRUE(testsupport::waitForFile(home.root() / "ready"));
    EXPECT_EQ(run(), WorkerState::HandedOver);
    EXPECT_EQ(win->calls(), (std::vector<std::string>{"IsLauncherRunning", "Hide", "Close"}));
    EXPECT_EQ(win->lastProgress(), 500u) << "the bar still runs to its end";
    EXPECT_TRUE(testsupport::waitForFile(client / "launcher.messages"));
    EXPECT_TRUE(testsupport::waitLauncherMarker(true));
    EXPECT_EQ(testsupport::launcherMessages(client), std::vector<std::string>{"id=0x80 command=0 length=0 data="});
    EXPECT_EQ(testsupport::launcherStarts(client).size(), 1u) << "no second launcher";
    const auto ev = events();
    ASSERT_EQ(ev.size(), 1u) << "no LHR_UPD";
}

// The service check fails while a launcher runs: 0x80 all the same (231).
TEST_F(Workflow, ServiceFailureWithRunningLauncherHandsOver) {
    publish("1.0.0.0");
    installPublished();
    startService("2.0.0.0", {"--check-status", "503"});
    testsupport::ChildProcess running(client / "launcher.exe", {"--ready", (home.root() / "ready").string()});
    ASSERT_TRUE(testsupport::waitForFile(home.root() / "ready"));
    EXPECT_EQ(run(), WorkerState::HandedOver);
    EXPECT_EQ(win->warnings(), std::vector<uint32_t>{104});
    EXPECT_TRUE(win->hidden());
    EXPECT_TRUE(testsupport::waitForFile(client / "launcher.messages"));
    EXPECT_EQ(testsupport::launcherMessages(client), std::vector<std::string>{"id=0x80 command=0 length=0 data="});
    EXPECT_NE(log().find("[upgradeManager:171]_ThreadCheckVersion END with handleExsitLauncher failed rescode:231\r\n"),
              std::string::npos);
}

// A running launcher of another version is told to quit (0x81); only after
// it has gone is the package installed and the new launcher started.
TEST_F(Workflow, RunningOutdatedLauncherQuitsBeforeTheUpdate) {
    publish("1.0.0.0");
    installPublished();
    testsupport::ChildProcess running(client / "launcher.exe", {"--ready", (home.root() / "ready").string()});
    ASSERT_TRUE(testsupport::waitForFile(home.root() / "ready"));
    publish("2.0.0.0");
    startService("2.0.0.0");
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_EQ(running.wait(std::chrono::seconds(20)), 0) << "the first launcher quit as asked";
    EXPECT_EQ(testsupport::launcherMessages(client), std::vector<std::string>{"id=0x81 command=0 length=0 data="});
    const auto s = starts(2);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1], std::vector<std::string>{gameArg()});
    const std::string text = log();
    EXPECT_LT(text.find("[upgradeManager:772]Launcher quit already"), text.find("[upgradeManager:386]launcherURL:"))
        << text;
}

// State 232: the launcher runs but never serves its pipe, and the user
// closes the window meanwhile: no start, WM_CLOSE still sent.
TEST_F(Workflow, WindowClosedWhileWaitingForThePipe) {
    publish("2.0.0.0");
    installPublished();
    startService("2.0.0.0");
    testsupport::ChildProcess running(client / "launcher.exe", {"--no-pipe"});
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    win->closeAtLauncherQuery(1);
    EXPECT_EQ(run(), WorkerState::ClosedWaiting);
    EXPECT_EQ(win->calls(), (std::vector<std::string>{"IsLauncherRunning", "user closes", "Close"}));
    EXPECT_EQ(testsupport::launcherStarts(client).size(), 1u);
    EXPECT_FALSE(fs::exists(client / "launcher.messages"));
    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:344] Init pipe failed and try again _timerConnectLauncher is Create Now\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("[upgradeManager:804] user clicck X and to close gamelancher\r\n"), std::string::npos);
    EXPECT_NE(text.find("[upgradeManager:182]_ThreadCheckVersion END with handleExsitLauncher failed rescode:232\r\n"),
              std::string::npos);
}

// A launcher that never serves its pipe and then quits: the next timer run
// finds it gone and the update goes on.
TEST_F(Workflow, LauncherWithoutPipeThatQuits) {
    publish("1.0.0.0");
    installPublished();
    auto running = std::make_unique<testsupport::ChildProcess>(client / "launcher.exe", std::vector<std::string>{"--no-pipe"});
    ASSERT_TRUE(testsupport::waitLauncherMarker(true));
    publish("2.0.0.0");
    startService("2.0.0.0");
    startManager();
    ASSERT_TRUE(waitLogged("[upgradeManager:825]PIPE connect Failed and try again"));
    running.reset();
    EXPECT_EQ(finish(), WorkerState::Current);
    const std::string text = log();
    EXPECT_NE(text.find("[upgradeManager:825]PIPE connect Failed and try again\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[upgradeManager:812]Luncher not exist and continue \r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(client / "launcher.messages"));
    EXPECT_EQ(events().back().ver, "2.0.0.0");
    EXPECT_EQ(starts(2).size(), 2u);
}

// The user closes the window while the bar fills: the timer ends at its
// next tick and the worker still starts the launcher.
TEST_F(Workflow, WindowClosedWhileTheBarFills) {
    publish("2.0.0.0");
    installPublished();
    startService("2.0.0.0");
    win->closeAtProgress(100);
    EXPECT_EQ(run(), WorkerState::Current);
    EXPECT_GE(win->lastProgress(), 100u);
    EXPECT_LT(win->lastProgress(), 500u);
    EXPECT_NE(log().find("[upgradeManager:857] user clicck X and to close gamelancher\r\n"), std::string::npos);
    EXPECT_EQ(starts(1).size(), 1u);
}

// The user closes the window while an outdated launcher ignores 0x81: the
// quit wait ends; the manager's destruction then ends the worker, which
// leaves no thread behind.
TEST_F(Workflow, WindowClosedDuringTheLauncherQuitWait) {
    publish("1.0.0.0");
    installPublished();
    testsupport::ChildProcess running(client / "launcher.exe", {"--ignore-quit", "--ready", (home.root() / "ready").string()});
    ASSERT_TRUE(testsupport::waitForFile(home.root() / "ready"));
    startService("2.0.0.0", {"--md5", std::string(32, '0')});
    startManager();
    ASSERT_TRUE(testsupport::waitForFile(client / "launcher.messages"));
    win->clickClose();
    manager.reset();  // returns: the worker has been joined
    ReleaseLogger();
    EXPECT_EQ(testsupport::launcherMessages(client), std::vector<std::string>{"id=0x81 command=0 length=0 data="});
    const std::string text = log();
    EXPECT_EQ(text.find("[upgradeManager:772]"), std::string::npos) << "the launcher never quit";
    EXPECT_NE(text.find("[upgradeManager:248]_ThreadCheckVersion Quit\r\n"), std::string::npos) << text;
    // The close does not stop the worker: when it got as far as starting the
    // installed launcher, wait for that launcher's record beside the running
    // one's, so that the tear-down stops it too instead of leaving it running.
    if (text.find("[upgradeManager:641]") != std::string::npos) {
        EXPECT_TRUE(testsupport::waitLauncherStarts(client, 2));
    }
}

// Destruction while a download runs (the server holds the first piece) and
// while the worker waits for a launcher's pipe: it returns, the worker takes
// no further step, and no thread is left.
TEST_F(Workflow, DestructionWhileTheWorkerIsBusy) {
    publish("1.0.0.0");
    installPublished();
    const std::string package = readFile(files / "client.zip");
    testsupport::FakeHttpServer slow;
    slow.serve("/client.zip", package);
    slow.holdRange(0);
    // The timer thread is process-wide and stays; make it exist first.
    platform::stopTimer(platform::startPeriodicTimer(1000, [](uint32_t) {}));

    struct Case {
        const char* what;
        bool launcherWithoutPipe;
    };
    for (const Case c : {Case{"download", false}, Case{"pipe wait", true}}) {
        SCOPED_TRACE(c.what);
        fs::remove_all(home.logFolder());
        win = std::make_unique<FakeLauncherWindow>();
        std::unique_ptr<testsupport::ChildProcess> running;
        if (c.launcherWithoutPipe) {
            running = std::make_unique<testsupport::ChildProcess>(client / "launcher.exe", std::vector<std::string>{"--no-pipe"});
            ASSERT_TRUE(testsupport::waitLauncherMarker(true));
        }
        service.reset();
        startService("2.0.0.0", {"--package-url", slow.url("/client.zip"), "--md5", testsupport::md5Hex(package)});
        const std::size_t before = threadCount();
        const std::size_t gets = slow.countRequests("GET");
        startManager();
        if (c.launcherWithoutPipe) {
            ASSERT_TRUE(testsupport::waitForFile(home.root() / "events.jsonl"));
        } else {
            ASSERT_TRUE(slow.waitForRequest([](const auto& r) { return r.range == "bytes=0-32767"; }));
        }
        manager.reset();
        delete ktUpgrade;
        ktUpgrade = nullptr;
        // The manager's threads are joined; the fake server's thread that
        // held the range ends once it sees the connection gone.
        EXPECT_TRUE(testsupport::waitUntil([&] { return threadCount() == before; })) << threadCount() << " threads";
        if (c.launcherWithoutPipe) {
            EXPECT_EQ(slow.countRequests("GET"), gets) << "no download after the stop";
        }
        ReleaseLogger();
        const std::string text = log();
        EXPECT_NE(text.find("[upgradeManager:246]_ThreadCheckVersion stopped by the termination request\r\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("[upgradeManager:641]"), std::string::npos) << "no launcher start";
        EXPECT_EQ(text.find("[upgradeManager:221]"), text.find("[upgradeManager:221]m_pDownLoader Start Release"));
        EXPECT_EQ(win->calls().back(), "IsLauncherRunning") << "no warning, no close after the stop";
        EXPECT_EQ(testsupport::launcherStarts(client).size(), c.launcherWithoutPipe ? 1u : 0u);
        running.reset();
        testsupport::waitLauncherMarker(false);
    }
    slow.releaseHeld();
}


// With an update key built in, a package kept in the temp folder is held to
// the statement as a fresh one is: without a statement it is neither
// installed nor downloaded again; with one that names it, it is installed
// without a download and its statement kept beside the install folder.
TEST_F(Workflow, KeptPackageNeedsItsStatementWithAnUpdateKey) {
#ifndef GL_TEST_HOOKS
    GTEST_SKIP() << "the key is handed in through a test hook, which this build does not have";
#endif
    publish("2.0.0.0");
    const fs::path key = home.root() / "operator.key";
    const auto mkpackage = testsupport::linuxProgram("tools/mkpackage/mkpackage");
    const auto made = testsupport::runProgram(mkpackage, {"keygen", testsupport::linuxPath(key)}, home.root());
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string publicKey = made.output.substr(0, made.output.find('\n'));
    ASSERT_EQ(publicKey.size(), 44u) << made.output;
#ifdef _WIN32
    ::_putenv_s("GL_TEST_UPDATE_KEYS", publicKey.c_str());
#else
    ::setenv("GL_TEST_UPDATE_KEYS", publicKey.c_str(), 1);
#endif
    fs::create_directories(temp);
    fs::copy_file(files / "client.zip", temp / "client.upd");
    startService("2.0.0.0");

    EXPECT_EQ(run(), WorkerState::NotInstalled);
    std::string text = log();
    EXPECT_EQ(countOf(text, "[upgradeManager:911]Fetch package signature failed url:" + service->base() +
                                "files/client.zip.sig size:-1 status:404\r\n"),
              std::size_t(kPackageTries))
        << text;
    EXPECT_EQ(text.find("[upgradeManager:605]"), std::string::npos) << "the kept package was not even looked at";
    EXPECT_EQ(text.find("[Loader:"), std::string::npos) << "nothing was downloaded";
    EXPECT_FALSE(fs::exists(client / "launcher.db"));
    ASSERT_FALSE(win->warnings().empty());
    EXPECT_EQ(win->warnings()[0], 113u);

    const auto signedRun = testsupport::runProgram(
        mkpackage,
        {"sign", testsupport::linuxPath(files / "client.zip"), "2.0.0.0", testsupport::linuxPath(key)}, home.root());
    ASSERT_EQ(signedRun.exitCode, 0) << signedRun.output;
    fs::remove_all(home.logFolder());
    win = std::make_unique<FakeLauncherWindow>();
    EXPECT_EQ(run(), WorkerState::Current);
    text = log();
    EXPECT_NE(text.find("[upgradeManager:925]Package signature verified ver:2.0.0.0 signed:"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("[Loader:"), std::string::npos) << "the kept package was reused";
    EXPECT_EQ(readFile(fs::path(install) += ".sig"), readFile(files / "client.zip.sig"));
    EXPECT_EQ(starts(1).size(), 1u);
}

}  // namespace
