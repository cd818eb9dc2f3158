// Every file operation of an update, made to fail in turn. The built program
// updates an installed launcher 1.0.0.0 to 2.0.0.0 with its Nth file
// operation on the update's folders failing (ENOSPC or EIO, through the
// test-only switch of the platform layer), for every N the update passes
// through; after each faulty run a clean run must end with the launcher
// 2.0.0.0 complete, every listed file matching its MD5, and started. No run
// may crash or hang.
//
// The package is small on purpose (a shell-script launcher that records its
// start, a text file and an incompressible blob across two pieces), so that
// the loop stays short; several values of N run side by side, each in its
// own HOME, XDG folders and runtime folder, against one update service.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/ZipUtil.h"
#include "platform/text.h"
#include "support/ChildProcess.h"
#include "support/Process.h"
#include "support/LogReader.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Records each start as the sample launcher does, next to itself.
const char* const kLauncherScript =
    "#!/bin/sh\n"
    "here=$(dirname \"$0\")\n"
    "{ echo \"start pid=$$ argc=$#\"; i=1; for a in \"$@\"; do echo \"argv[$i]=$a\"; i=$((i+1)); done; } "
    ">> \"$here/launcher.args\"\n";

// Bytes that do not compress: the package keeps two pieces of the download
// and the unpack writes the blob in more than one chunk.
std::string blob(uint32_t seed, std::size_t size) {
    std::string out(size, '\0');
    uint32_t x = seed;
    for (char& c : out) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

// Lays out an installed-launcher folder for `version` and packs it.
std::string makeScriptPackage(const fs::path& folder, const std::string& version, const fs::path& zip) {
    fs::create_directories(folder / "client/data/deep");
    writeFile(folder / "client/launcher.exe", kLauncherScript);
    fs::permissions(folder / "client/launcher.exe", fs::perms(0755));
    writeFile(folder / "client/data/notes.txt", "launcher " + version + "\n");
    writeFile(folder / "client/data/deep/blob.bin", blob(version == "1.0.0.0" ? 1u : 2u, 40000));
    fs::create_directories(zip.parent_path());
    const auto made = testsupport::runProgram(testsupport::builtProgram("tools/mkpackage/mkpackage"),
                                              {folder.string(), version, zip.string()}, folder);
    if (made.exitCode != 0) return {};
    std::string md5 = made.output.substr(0, made.output.find_first_of("\r\n"));
    return md5;
}

// The figures of one run's operation report.
struct OpReport {
    uint64_t operations = 0;
    std::vector<std::string> lines;  // "<n> <operation> <path>[ failed]"
    std::string failed;              // the line of the operation made to fail
};

OpReport readReport(const fs::path& path) {
    OpReport r;
    std::istringstream in(readFile(path));
    std::string line;
    if (std::getline(in, line) && line.rfind("operations ", 0) == 0) r.operations = std::stoull(line.substr(11));
    while (std::getline(in, line)) {
        if (line.size() > 7 && line.compare(line.size() - 7, 7, " failed") == 0) r.failed = line;
        r.lines.push_back(line);
    }
    return r;
}

// One HOME with its own XDG folders and the launcher 1.0.0.0 installed: one
// value of N runs in it.
struct Lane {
    fs::path root;
    fs::path install() const { return root / "data/Keltora/morvel3"; }
    fs::path client() const { return install() / "client"; }
    fs::path crashReports() const { return root / "config/Keltora/morvel3/CrashReports"; }
    fs::path report(const std::string& name) const { return root / (name + ".ops"); }
    // Every daily log there is, concatenated.
    std::string log() const { return testsupport::readLogs(root / "config/Keltora/morvel3/GameLauncher"); }

    std::map<std::string, std::string> env() const {
        std::map<std::string, std::string> out{{"HOME", (root / "home").string()},
                {"XDG_CONFIG_HOME", (root / "config").string()},
                {"XDG_DATA_HOME", (root / "data").string()},
                {"XDG_RUNTIME_DIR", (root / "runtime").string()},
                {"QT_QPA_PLATFORM", "offscreen"},
                {"GL_TEST_BOXES", "1"},
                {"GL_CRASHSENDER_ARGS", "--no-send --no-dialog"},
                // The update's own files: the install folder and whatever
                // lies beside it, and the download folder.
                {"GL_TEST_FILE_OP_SCOPE",
                 (root / "data/Keltora").string() + ":" + (root / "config/Keltora/morvel3/temp").string()}};
        // FAULT_INJECTION_SCOPE=program takes in every file operation of the
        // program (the log and the game path record too), for a look by hand.
        const char* scope = std::getenv("FAULT_INJECTION_SCOPE");
        if (scope != nullptr && std::string(scope) == "program") out.erase("GL_TEST_FILE_OP_SCOPE");
        return out;
    }
};

// What one run of the program came to.
struct RunOutcome {
    testsupport::RunResult result;
    OpReport ops;
    std::size_t startsAdded = 0;
    std::string version;                 // installed afterwards
    std::vector<std::string> damaged;    // listed files missing or wrong
    std::size_t crashReports = 0;
    std::string log;                     // what this run added to the log
};

std::string installedVersion(const Lane& lane) {
    const std::string db = readFile(lane.client() / "launcher.db");
    const std::size_t at = db.find("\"version\":\"");
    if (at == std::string::npos) return {};
    const std::size_t from = at + 11;
    return db.substr(from, db.find('"', from) - from);
}

// The files client/launcher.db lists, with their MD5s (mkpackage writes it
// in one known form).
std::vector<std::pair<std::string, std::string>> listedFiles(const Lane& lane) {
    const std::string db = readFile(lane.client() / "launcher.db");
    std::vector<std::pair<std::string, std::string>> out;
    const std::size_t files = db.find("\"files\":[");
    if (files == std::string::npos) return out;
    std::size_t at = files + 9;
    while (at < db.size() && db[at] == '{') {
        const std::size_t nameFrom = at + 2;
        const std::size_t nameTo = db.find('"', nameFrom);
        const std::size_t md5From = db.find('"', nameTo + 2) + 1;
        const std::size_t md5To = db.find('"', md5From);
        out.emplace_back(db.substr(nameFrom, nameTo - nameFrom), db.substr(md5From, md5To - md5From));
        at = db.find('}', md5To) + 1;
        if (at < db.size() && db[at] == ',') ++at;
    }
    return out;
}

// Every listed file that is missing or does not match its MD5; an empty or
// unreadable list counts as one.
std::vector<std::string> damagedFiles(const Lane& lane) {
    const auto listed = listedFiles(lane);
    if (listed.empty()) return {"client/launcher.db (no list)"};
    std::vector<std::string> out;
    for (const auto& [name, md5] : listed) {
        const fs::path file = lane.install() / name;
        if (!fs::is_regular_file(file) || testsupport::md5Hex(readFile(file)) != md5) out.push_back(name);
    }
    return out;
}

std::size_t countEntries(const fs::path& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return 0;
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder, ec), fs::directory_iterator()));
}

// Runs `program` with `env` added, until it stops itself (SIGSTOP at the
// chosen operation) or ends; a stopped one is killed there by SIGKILL, as a
// player's machine losing power or a task manager would. True when it was
// stopped and killed; false when it ended on its own (or hung: then it is
// killed after `timeoutSeconds` and `hung` is set).
bool runUntilStoppedThenKill(const fs::path& program, const fs::path& workDir,
                             const std::map<std::string, std::string>& env, const fs::path& output, bool& hung,
                             int timeoutSeconds = 90) {
    testsupport::ChildOptions options = testsupport::childIn(workDir, env, testsupport::ChildOutput::File);
    options.outputFile = output;
    testsupport::ChildProcess child(program, {}, options);
    const std::optional<bool> stopped =
        child.started() ? child.waitStopOrEnd(std::chrono::seconds(timeoutSeconds)) : std::optional<bool>(false);
    hung = !stopped.has_value();
    if (stopped.value_or(false)) {
        child.signal(SIGKILL);
        child.wait(std::chrono::seconds(30));
    }
    return stopped.value_or(false);
}

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef GL_TEST_HOOKS
        GTEST_SKIP() << "the fault-injection switch exists only in builds with GL_TEST_HOOKS";
#endif
        const std::string md5v1 = makeScriptPackage(home.root() / "stage1", "1.0.0.0", home.root() / "v1.zip");
        const std::string md5v2 = makeScriptPackage(home.root() / "stage2", "2.0.0.0", home.root() / "served/client.zip");
        ASSERT_EQ(md5v1.size(), 32u);
        ASSERT_EQ(md5v2.size(), 32u);
        service = std::make_unique<testsupport::UpdateService>(std::vector<std::string>{
            "--quiet", "--version", "2.0.0.0", "--files", (home.root() / "served").string(), "--package", "client.zip",
            "--events", (home.root() / "events.jsonl").string()});
        ASSERT_FALSE(service->base().empty());

        // One game folder serves every lane: the program writes nothing there.
        game = home.root() / "game folder";
        fs::create_directories(game);
        for (const char* program : {"gamelauncher", "tools/crashsender/crashsender"}) {
            const fs::path from = testsupport::builtProgram(program);
            fs::copy_file(from, game / from.filename());
        }
        writeFile(game / "launcher.ini", "[UPGRADE]\nSERVER_UPGRADE_0=" + service->base() + "\n");
        // Nothing here stalls: the download time-out only has to outlast a
        // machine loaded by the lanes side by side and a sanitizer.
        writeFile(game / "setting.ini", "[SETTING]\nCURL_WAITETIME=30\n");

        // The installed launcher 1.0.0.0, unpacked once and copied per lane.
        installed = home.root() / "installed-1.0.0.0";
        fs::create_directories(installed);
        ASSERT_EQ(getZipUtil()->UnZipFile(platform::utf8ToWide((home.root() / "v1.zip").string()).c_str(),
                                          platform::utf8ToWide(installed.string()).c_str()),
                  0);
    }

    Lane makeLane(const std::string& name) const {
        Lane lane{home.root() / "lanes" / name};
        for (const char* folder : {"home", "config", "data/Keltora/morvel3", "runtime"}) {
            fs::create_directories(lane.root / folder);
        }
        fs::permissions(lane.root / "runtime", fs::perms::owner_all);
        fs::copy(installed, lane.install(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        return lane;
    }

    // Runs the program once in `lane`; `failAt` 0 injects nothing.
    RunOutcome runOnce(const Lane& lane, uint64_t failAt, const std::string& name) const {
        auto env = lane.env();
        env["GL_TEST_FILE_OP_COUNT"] = lane.report(name).string();
        if (failAt != 0) env["GL_TEST_FAIL_FILE_OP"] = std::to_string(failAt);
        const std::size_t startsBefore = testsupport::launcherStarts(lane.client()).size();
        const std::size_t logBefore = lane.log().size();
        RunOutcome out;
        out.result = testsupport::runProgram(game / "gamelauncher", {}, game, env, 90);
        out.ops = readReport(lane.report(name));
        // The script records its start right after the program has spawned it.
        if (out.result.exitCode == 0) {
            testsupport::waitUntil([&] { return testsupport::launcherStarts(lane.client()).size() > startsBefore; },
                                   std::chrono::seconds(30));
        }
        const auto starts = testsupport::launcherStarts(lane.client());
        out.startsAdded = starts.size() >= startsBefore ? starts.size() - startsBefore : 0;
        for (std::size_t i = startsBefore; i < starts.size(); ++i) {
            if (starts[i].args != std::vector<std::string>{"-gamepath=" + game.string()}) out.startsAdded = 0;
        }
        out.version = installedVersion(lane);
        out.damaged = damagedFiles(lane);
        out.crashReports = countEntries(lane.crashReports());
        const std::string log = lane.log();
        out.log = log.size() > logBefore ? log.substr(logBefore) : std::string();
        return out;
    }

    uint64_t cleanUpdate(std::map<std::string, int>& byKind);
    // The clean update's operations, "<n> <operation> <path>", its lane's
    // folder written as "<lane>".
    std::vector<std::string> cleanOps;
    uint64_t forEachPoint(uint64_t points, const std::string& prefix,
                          const std::function<std::string(uint64_t, const Lane&)>& one);

    testsupport::TempHome home;
    std::unique_ptr<testsupport::UpdateService> service;
    fs::path game;
    fs::path installed;
};

std::string describe(const RunOutcome& o) {
    std::ostringstream s;
    s << "exit " << o.result.exitCode << ", installed " << (o.version.empty() ? "(none)" : o.version);
    if (!o.damaged.empty()) {
        s << " damaged:";
        for (const auto& d : o.damaged) s << " " << d;
    }
    s << ", launcher starts " << o.startsAdded << ", crash reports " << o.crashReports;
    // The warning boxes the player had to confirm (test builds print them).
    for (const std::string& line : testsupport::textLines(o.result.output)) {
        if (line.rfind("[test box] ", 0) == 0) s << ", box \"" << line.substr(11) << "\"";
    }
    return s.str();
}

std::string withoutLane(std::string line, const Lane& lane) {
    const std::string root = lane.root.string();
    for (std::size_t at = line.find(root); at != std::string::npos; at = line.find(root, at)) {
        line.replace(at, root.size(), "<lane>");
    }
    return line;
}

// The update without any injected failure: it must pass, and its report
// says which operations it passes through. Fails the test (and answers 0)
// when it does not pass.
uint64_t FaultInjection::cleanUpdate(std::map<std::string, int>& byKind) {
    const Lane lane = makeLane("clean");
    const RunOutcome baseline = runOnce(lane, 0, "update");
    EXPECT_EQ(baseline.result.exitCode, 0) << baseline.result.output;
    EXPECT_EQ(baseline.version, "2.0.0.0") << describe(baseline);
    EXPECT_TRUE(baseline.damaged.empty()) << describe(baseline);
    EXPECT_EQ(listedFiles(lane).size(), 3u) << readFile(lane.client() / "launcher.db");
    EXPECT_EQ(baseline.startsAdded, 1u) << describe(baseline);
    EXPECT_GT(baseline.ops.operations, 0u) << "the switch counted nothing: " << readFile(lane.report("update"));
    EXPECT_TRUE(baseline.ops.failed.empty()) << baseline.ops.failed;
    if (::testing::Test::HasFailure()) return 0;
    for (const std::string& line : baseline.ops.lines) {
        cleanOps.push_back(withoutLane(line, lane));
        const std::size_t a = line.find(' ') + 1;
        byKind[line.substr(a, line.find(' ', a) - a)]++;
    }
    return baseline.ops.operations;
}

// Runs `one(n, lane)` for n = 1 .. points, each in its own lane, a few side
// by side (the runs mostly wait on the progress bar and the network, not on
// the processor); each answers an empty text when the point is recovered,
// else what went wrong. Returns how many were recovered and adds a failure
// for each that was not.
uint64_t FaultInjection::forEachPoint(uint64_t points, const std::string& prefix,
                                      const std::function<std::string(uint64_t, const Lane&)>& one) {
    // Every lane is laid out before any program starts: a child forked while
    // another thread still writes a lane's launcher.exe would inherit that
    // open file, and starting the launcher would then fail with ETXTBSY.
    std::vector<Lane> lanes;
    for (uint64_t n = 1; n <= points; ++n) lanes.push_back(makeLane(prefix + std::to_string(n)));
    constexpr uint64_t kLanes = 4;
    uint64_t recovered = 0;
    for (uint64_t first = 1; first <= points; first += kLanes) {
        std::vector<std::future<std::string>> batch;
        for (uint64_t n = first; n < first + kLanes && n <= points; ++n) {
            batch.push_back(std::async(std::launch::async, one, n, std::cref(lanes[n - 1])));
        }
        for (auto& f : batch) {
            const std::string finding = f.get();
            if (finding.empty()) {
                ++recovered;
            } else {
                ADD_FAILURE() << finding;
            }
        }
    }
    return recovered;
}

// What is wrong with a run that should have recovered the launcher 2.0.0.0
// and started it; empty when nothing. `startsMayAddUp`: a killed run before
// it may have started a launcher right before its end, whose record can land
// during this run.
std::string recoveryProblems(const RunOutcome& clean, bool startsMayAddUp = false) {
    std::string problems;
    if (clean.result.exitCode != 0) problems += " next run exit " + std::to_string(clean.result.exitCode) + ";";
    if (clean.crashReports != 0) problems += " next run left a crash report;";
    const bool started = startsMayAddUp ? clean.startsAdded >= 1 : clean.startsAdded == 1;
    if (clean.version != "2.0.0.0" || !clean.damaged.empty() || !started) {
        problems += " next run did not recover;";
    }
    if (!clean.ops.failed.empty()) problems += " the next run had a failure injected;";
    if (clean.log.find("Instance Exist") != std::string::npos) problems += " next run found an instance;";
    if (clean.log.find("GameLauncher Start") == std::string::npos) problems += " next run logged nothing;";
    return problems;
}

std::string figureText(const char* what, uint64_t points, const std::map<std::string, int>& byKind,
                       uint64_t recovered) {
    std::ostringstream figure;
    figure << what << ": the update passes through " << points << " points of failure (";
    bool firstKind = true;
    for (const auto& [kind, count] : byKind) {
        figure << (firstKind ? "" : ", ") << count << " " << kind;
        firstKind = false;
    }
    figure << "), " << recovered << " of them recovered by the next run";
    return figure.str();
}

TEST_F(FaultInjection, EveryFailurePointOfAnUpdateIsRecoveredByTheNextRun) {
    std::map<std::string, int> byKind;
    const uint64_t points = cleanUpdate(byKind);
    ASSERT_GT(points, 0u);

    const uint64_t recovered = forEachPoint(points, "n", [this](uint64_t n, const Lane& lane) {
        const RunOutcome faulty = runOnce(lane, n, "faulty");
        const RunOutcome clean = runOnce(lane, 0, "clean");
        const std::string where = faulty.ops.failed.empty() ? "(no operation failed)" : faulty.ops.failed;
        std::string problems;
        if (faulty.ops.failed.empty()) problems += " the faulty run failed nothing;";
        // Over the update's own folders one thread at a time works on files:
        // the failure hits exactly the clean update's Nth operation.
        if (std::getenv("FAULT_INJECTION_SCOPE") == nullptr && n <= cleanOps.size() &&
            withoutLane(faulty.ops.failed, lane) != cleanOps[n - 1] + " failed") {
            problems += " the failed operation is not the clean update's " + cleanOps[n - 1] + ";";
        }
        if (faulty.result.exitCode != 0) problems += " faulty run exit " + std::to_string(faulty.result.exitCode) + ";";
        if (faulty.crashReports != 0) problems += " faulty run left a crash report;";
        // A launcher that starts is a whole one, old or new.
        if (faulty.startsAdded != 0 && !faulty.damaged.empty()) problems += " faulty run started a damaged launcher;";
        problems += recoveryProblems(clean);
        if (problems.empty()) {
            // What the player met in the faulty run, for the record.
            std::cout << "N=" << n << " " << where.substr(where.find(' ') + 1) << " -> " << describe(faulty) << "\n";
            return std::string();
        }
        return "N=" + std::to_string(n) + " " + where + ":" + problems + "\n    faulty: " + describe(faulty) +
               "\n    clean:  " + describe(clean) + "\n    faulty output: " + faulty.result.output.substr(0, 2000) +
               "\n    faulty log (end): " + faulty.log.substr(faulty.log.size() > 4000 ? faulty.log.size() - 4000 : 0) +
               "\n    clean log (end): " + clean.log.substr(clean.log.size() > 4000 ? clean.log.size() - 4000 : 0);
    });

    const std::string figure = figureText("fault injection", points, byKind, recovered);
    std::cout << figure << "\n";
    RecordProperty("points_of_failure", static_cast<int>(points));
    RecordProperty("recovered", static_cast<int>(recovered));
    EXPECT_EQ(recovered, points) << figure;
}

// The same points, with the program killed (SIGKILL) right before the
// operation instead: no marker, lock, staging folder or half-written file
// it leaves may keep the next run from repairing the launcher.
TEST_F(FaultInjection, AKillAtEveryFailurePointIsRepairedByTheNextRun) {
    std::map<std::string, int> byKind;
    const uint64_t points = cleanUpdate(byKind);
    ASSERT_GT(points, 0u);

    const uint64_t recovered = forEachPoint(points, "k", [this](uint64_t n, const Lane& lane) {
        auto env = lane.env();
        env["GL_TEST_STOP_AT_FILE_OP"] = std::to_string(n);
        bool hung = false;
        const bool killed = runUntilStoppedThenKill(game / "gamelauncher", game, env, lane.root / "killed.out", hung);
        const RunOutcome next = runOnce(lane, 0, "next");
        std::string problems;
        if (hung) problems += " the run hung;";
        if (!killed) problems += " the run did not stop at the operation;";
        problems += recoveryProblems(next, true);
        if (problems.empty()) return std::string();
        return "kill before operation " + std::to_string(n) + ":" + problems + "\n    next: " + describe(next) +
               "\n    killed run's output: " + readFile(lane.root / "killed.out").substr(0, 2000);
    });

    const std::string figure = figureText("kill injection", points, byKind, recovered);
    std::cout << figure << "\n";
    EXPECT_EQ(recovered, points) << figure;
}

// A download the program was killed in, continued by the next run: the
// resumed update's file operations (the record read, rewritten and removed
// beside the partial package) made to fail in turn, and then the program
// killed before each of them. After each, a clean run must install 2.0.0.0
// and start it.
TEST_F(FaultInjection, EveryFailurePointOfAResumedDownloadIsRecoveredByTheNextRun) {
    std::map<std::string, int> cleanKinds;
    ASSERT_GT(cleanUpdate(cleanKinds), 0u);
    // The program itself leaves the partial download: killed right after the
    // record that claims the first piece is in place.
    std::size_t afterRecord = 0;
    for (std::size_t i = 0; i < cleanOps.size(); ++i) {
        if (cleanOps[i].find(" rename ") != std::string::npos &&
            cleanOps[i].find("client.upd.resume.tmp") != std::string::npos) {
            afterRecord = i + 2;  // operations count from 1
            break;
        }
    }
    ASSERT_GT(afterRecord, 0u) << "the clean update wrote no resume record";
    const Lane seed = makeLane("seed");
    {
        auto env = seed.env();
        env["GL_TEST_STOP_AT_FILE_OP"] = std::to_string(afterRecord);
        bool hung = false;
        ASSERT_TRUE(runUntilStoppedThenKill(game / "gamelauncher", game, env, seed.root / "seed.out", hung));
    }
    const fs::path seedTemp = seed.root / "config/Keltora/morvel3/temp";
    ASSERT_TRUE(fs::exists(seedTemp / "client.upd.resume"));
    ASSERT_EQ(fs::file_size(seedTemp / "client.upd"), 32768u);
    auto withPartialDownload = [&](const Lane& lane) {
        const fs::path temp = lane.root / "config/Keltora/morvel3/temp";
        fs::create_directories(temp);
        for (const char* name : {"client.upd", "client.upd.resume"}) {
            fs::copy_file(seedTemp / name, temp / name, fs::copy_options::overwrite_existing);
        }
    };

    // The resumed update without a failure: its operations are the points.
    const Lane clean = makeLane("resumed");
    withPartialDownload(clean);
    const RunOutcome resumed = runOnce(clean, 0, "update");
    ASSERT_EQ(resumed.result.exitCode, 0) << resumed.result.output;
    ASSERT_EQ(resumed.version, "2.0.0.0") << describe(resumed);
    ASSERT_NE(resumed.log.find("[Loader:92]Resume filePath="), std::string::npos) << resumed.log;
    std::map<std::string, int> byKind;
    for (const std::string& line : resumed.ops.lines) {
        const std::size_t a = line.find(' ') + 1;
        byKind[line.substr(a, line.find(' ', a) - a)]++;
    }
    const uint64_t points = resumed.ops.operations;

    const uint64_t failedRecovered = forEachPoint(points, "rf", [&](uint64_t n, const Lane& lane) {
        withPartialDownload(lane);
        const RunOutcome faulty = runOnce(lane, n, "faulty");
        const RunOutcome next = runOnce(lane, 0, "clean");
        std::string problems;
        if (faulty.ops.failed.empty()) problems += " the faulty run failed nothing;";
        if (faulty.result.exitCode != 0) problems += " faulty run exit " + std::to_string(faulty.result.exitCode) + ";";
        if (faulty.crashReports != 0) problems += " faulty run left a crash report;";
        if (faulty.startsAdded != 0 && !faulty.damaged.empty()) problems += " faulty run started a damaged launcher;";
        problems += recoveryProblems(next);
        if (problems.empty()) return std::string();
        return "resumed, N=" + std::to_string(n) + " " + faulty.ops.failed + ":" + problems +
               "\n    faulty: " + describe(faulty) + "\n    clean:  " + describe(next) +
               "\n    clean log (end): " + next.log.substr(next.log.size() > 4000 ? next.log.size() - 4000 : 0);
    });
    const uint64_t killedRecovered = forEachPoint(points, "rk", [&](uint64_t n, const Lane& lane) {
        withPartialDownload(lane);
        auto env = lane.env();
        env["GL_TEST_STOP_AT_FILE_OP"] = std::to_string(n);
        bool hung = false;
        const bool killed = runUntilStoppedThenKill(game / "gamelauncher", game, env, lane.root / "killed.out", hung);
        const RunOutcome next = runOnce(lane, 0, "next");
        std::string problems;
        if (hung) problems += " the run hung;";
        if (!killed) problems += " the run did not stop at the operation;";
        problems += recoveryProblems(next, true);
        if (problems.empty()) return std::string();
        return "resumed, kill before operation " + std::to_string(n) + ":" + problems + "\n    next: " + describe(next);
    });

    const std::string failFigure =
        figureText("fault injection over a resumed download", points, byKind, failedRecovered);
    const std::string killFigure =
        figureText("kill injection over a resumed download", points, byKind, killedRecovered);
    std::cout << failFigure << "\n" << killFigure << "\n";
    EXPECT_EQ(failedRecovered, points) << failFigure;
    EXPECT_EQ(killedRecovered, points) << killFigure;
}

}  // namespace

namespace {

// The switches are for tests only: a build without GL_TEST_HOOKS (release)
// must hold neither their code nor their names, and a test build all of them,
// which also shows that the look would find them.
TEST(TestSwitches, AreInTheProgramExactlyWhenBuiltWithTestHooks) {
    const std::string program = readFile(testsupport::builtProgram("gamelauncher"));
    ASSERT_GT(program.size(), 100000u);
#ifdef GL_TEST_HOOKS
    const bool expected = true;
#else
    const bool expected = false;
#endif
    for (const char* name : {"GL_TEST_FAIL_FILE_OP", "GL_TEST_STOP_AT_FILE_OP", "GL_TEST_FILE_OP_COUNT",
                             "GL_TEST_FILE_OP_SCOPE", "GL_TEST_CRASH", "GL_TEST_BOXES"}) {
        EXPECT_EQ(program.find(name) != std::string::npos, expected) << name;
    }
}

}  // namespace
