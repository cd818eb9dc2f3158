// The runtime folder: only a private one of the user's own is used, and the
// fallback lies where no other local user can create it first.
#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/local_pipe.h"
#include "platform/marker.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

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
