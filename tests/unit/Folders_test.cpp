// The per-user folders. The runtime folder: only a private one of the
// user's own is used, and the fallback lies where no other local user can
// create it first.
#include "platform/folders.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/local_pipe.h"
#include "platform/marker.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

// Both application-data folders are the profile's own (the known folders on
// Windows, the XDG folders the test's home sets elsewhere), as they stand:
// no trailing separator, and present once asked for.
TEST(AppDataFolders, AreTheProfilesOwnWithoutTrailingSeparator) {
    testsupport::TempHome home;
    struct Case {
        const char* what;
        bool (*get)(std::wstring&);
        fs::path expected;
    };
    const Case cases[] = {
        {"roaming", platform::roamingAppDataFolder, home.config()},
        {"local", platform::localAppDataFolder, home.data()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring out;
        ASSERT_TRUE(c.get(out));
        ASSERT_FALSE(out.empty());
        EXPECT_NE(out.back(), L'/');
        EXPECT_NE(out.back(), L'\\');
        EXPECT_TRUE(fs::path(out).is_absolute());
        EXPECT_TRUE(fs::equivalent(fs::path(out), c.expected));
        EXPECT_EQ(fs::path(out).lexically_normal(), c.expected.lexically_normal());
    }
    std::wstring roaming, local;
    ASSERT_TRUE(platform::roamingAppDataFolder(roaming));
    ASSERT_TRUE(platform::localAppDataFolder(local));
    EXPECT_NE(roaming, local);
}

#ifdef _WIN32
namespace {

// Moves one of the profile's folders aside for a test and puts it back
// however the test ends: later tests of the run share the profile.
class MovedAside {
public:
    explicit MovedAside(fs::path folder) : m_folder(std::move(folder)), m_aside(m_folder.wstring() + L".aside") {
        fs::rename(m_folder, m_aside);
    }
    ~MovedAside() {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
        fs::rename(m_aside, m_folder, ec);
    }
    MovedAside(const MovedAside&) = delete;
    MovedAside& operator=(const MovedAside&) = delete;

private:
    fs::path m_folder;
    fs::path m_aside;
};

}  // namespace

// A known folder the profile has lost is made again, as the XDG folders are.
TEST(AppDataFolders, AMissingFolderIsMadeAgain) {
    testsupport::TempHome home;
    const MovedAside aside(home.data());
    ASSERT_FALSE(fs::exists(home.data()));
    std::wstring out;
    ASSERT_TRUE(platform::localAppDataFolder(out));
    EXPECT_TRUE(fs::is_directory(home.data()));
    EXPECT_EQ(fs::path(out).lexically_normal(), home.data().lexically_normal());
}

// A file where the folder should be: no folder can be made there, and the
// caller learns so with the system's error rather than a path to nowhere.
TEST(AppDataFolders, AFolderThatCannotBeMadeIsAFailure) {
    testsupport::TempHome home;
    const MovedAside aside(home.data());
    testsupport::writeFile(home.data(), "not a folder");
    ::SetLastError(0);
    std::wstring out = L"untouched";
    EXPECT_FALSE(platform::localAppDataFolder(out));
    EXPECT_NE(::GetLastError(), 0u);
    EXPECT_EQ(out, L"untouched");
}

// The per-user kernel objects live in the logon session's own namespace;
// the system keeps it private to the session's user, so it is never refused.
TEST(RuntimeFolder, IsTheSessionsOwnNamespace) {
    testsupport::TempHome home;
    std::string out;
    ASSERT_TRUE(platform::runtimeFolder(out));
    EXPECT_EQ(out, "Local");
}
#else
// The runtime folder's checks below are POSIX ownership and mode rules and
// XDG variables; Windows has none of them (its namespace case is above).
namespace {

// As root the tests can hand a folder to another user (nobody's uid).
constexpr uid_t kOtherUser = 65534;
bool isRoot() {
    return ::getuid() == 0;
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

fs::path fallbackIn(const fs::path& data) {
    return data / "gamelauncher-runtime";
}

}  // namespace

TEST(RuntimeFolder, XdgRuntimeDirIsUsedOnlyWhenItIsPrivateAndTheUsersOwn) {
    struct Case {
        const char* what;
        std::function<std::string(const fs::path&)> make;  // in a scratch folder; the value to set
        bool used;
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"own folder, mode 0700",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 0700);
             return (d / "r").string();
         },
         true},
        {"own folder, trailing separators",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 0700);
             return (d / "r").string() + "//";
         },
         true},
        {"own folder, readable by others",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 0755);
             return (d / "r").string();
         },
         true},
        {"shared, mode 1777",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 01777);
             return (d / "r").string();
         },
         false},
        {"writable by the group",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 0770);
             return (d / "r").string();
         },
         false},
        {"writable by others",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 0702);
             return (d / "r").string();
         },
         false},
        {"another user's folder",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 0700);
             (void)!::chown((d / "r").c_str(), kOtherUser, kOtherUser);
             return (d / "r").string();
         },
         false, true},
        {"a link to a private folder",
         [](const fs::path& d) {
             fs::create_directory(d / "r");
             ::chmod((d / "r").c_str(), 0700);
             fs::create_directory_symlink(d / "r", d / "l");
             return (d / "l").string();
         },
         false},
        {"a file",
         [](const fs::path& d) {
             testsupport::writeFile(d / "f", "x");
             return (d / "f").string();
         },
         false},
        {"missing", [](const fs::path& d) { return (d / "none").string(); }, false},
        {"a relative path", [](const fs::path&) { return std::string("run/user"); }, false},
        {"empty", [](const fs::path&) { return std::string(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !isRoot()) {
            ADD_FAILURE() << "needs root to hand a folder to another user";
            continue;
        }
        testsupport::TempHome home;
        const fs::path scratch = home.root() / "scratch";
        fs::create_directory(scratch);
        const std::string value = c.make(scratch);
        ::setenv("XDG_RUNTIME_DIR", value.c_str(), 1);
        std::string out;
        ASSERT_TRUE(platform::runtimeFolder(out));
        if (c.used) {
            EXPECT_EQ(out, (scratch / "r").string());
        } else {
            EXPECT_EQ(out, fallbackIn(home.data()).string());
            EXPECT_EQ(modeOf(out) & 07777, 0700u);
        }
        // What the markers and the pipe use is that folder too.
        platform::Marker marker;
        ASSERT_EQ(marker.acquire("probe"), platform::Marker::Result::Acquired);
        EXPECT_TRUE(fs::exists(fs::path(out) / "probe.lock"));
        platform::PipeServer server;
        ASSERT_TRUE(server.listen("pipe"));
        EXPECT_TRUE(fs::is_socket(fs::path(out) / "pipe"));
    }
}

TEST(RuntimeFolder, TheFallbackLiesInTheUsersOwnDataFolder) {
    testsupport::TempHome home;
    ::unsetenv("XDG_RUNTIME_DIR");
    std::string out;
    ASSERT_TRUE(platform::runtimeFolder(out));
    EXPECT_EQ(out, fallbackIn(home.data()).string());
    EXPECT_TRUE(S_ISDIR(modeOf(out)));
    EXPECT_EQ(modeOf(out) & 07777, 0700u);

    // Without XDG_DATA_HOME: below HOME, every missing parent made too.
    ::unsetenv("XDG_DATA_HOME");
    ASSERT_TRUE(platform::runtimeFolder(out));
    EXPECT_EQ(out, fallbackIn(home.home() / ".local/share").string());
    EXPECT_EQ(modeOf(out) & 07777, 0700u);
    // Found again as it is.
    std::string again;
    ASSERT_TRUE(platform::runtimeFolder(again));
    EXPECT_EQ(again, out);
}

// A fallback that is not a private folder of the user's own is refused; no
// marker can be held there, so the probe finds none rather than failing
// (which would count a launcher as running for ever), and the pipe fails at
// once rather than wait.
TEST(RuntimeFolder, AnUnsafeFallbackIsRefusedAndHoldsNoMarker) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;  // makes the fallback in the data folder given
        int error;
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"a link to a private folder",
         [](const fs::path& data) {
             fs::create_directory(data / "elsewhere");
             ::chmod((data / "elsewhere").c_str(), 0700);
             fs::create_directory_symlink(data / "elsewhere", fallbackIn(data));
         },
         EACCES},
        {"a link to nowhere",
         [](const fs::path& data) { fs::create_directory_symlink(data / "none", fallbackIn(data)); }, EACCES},
        {"another user's folder",
         [](const fs::path& data) {
             fs::create_directory(fallbackIn(data));
             ::chmod(fallbackIn(data).c_str(), 0700);
             (void)!::chown(fallbackIn(data).c_str(), kOtherUser, kOtherUser);
         },
         EACCES, true},
        {"writable by others",
         [](const fs::path& data) {
             fs::create_directory(fallbackIn(data));
             ::chmod(fallbackIn(data).c_str(), 0777);
         },
         EACCES},
        {"a file", [](const fs::path& data) { testsupport::writeFile(fallbackIn(data), "x"); }, EACCES},
        {"a data folder that cannot be made",
         [](const fs::path& data) {
             testsupport::writeFile(data / "file", "x");
             ::setenv("XDG_DATA_HOME", (data / "file/below").c_str(), 1);
         },
         ENOTDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !isRoot()) {
            ADD_FAILURE() << "needs root to hand a folder to another user";
            continue;
        }
        testsupport::TempHome home;
        ::unsetenv("XDG_RUNTIME_DIR");
        c.make(home.data());
        std::string out;
        errno = 0;
        EXPECT_FALSE(platform::runtimeFolder(out));
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(platform::probeMarker("probe"), platform::MarkerState::Free);
        platform::Marker marker;
        EXPECT_EQ(marker.acquire("probe"), platform::Marker::Result::Failed);
        platform::PipeServer server;
        EXPECT_FALSE(server.listen("pipe"));
        platform::PipeClient client;
        EXPECT_EQ(client.open("pipe", 10000), platform::PipeClient::OpenResult::Failed);
    }
}
#endif  // _WIN32
