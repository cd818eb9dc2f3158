// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

// Catching a crash on Windows (structured exceptions and a minidump) is not
// built yet. Until it is, the engine refuses to install and says why, so that
// the program runs on without crash reports, as it does on Linux when the
// sender program is missing; everything that asks per thread finds it not
// installed and leaves the thread as it is.
#include "crash/CrashEngine.h"

#include <string>

namespace crash {
namespace {

thread_local std::wstring g_lastError;

int32_t notBuilt() {
    g_lastError = L"crash reporting is not built for this system yet";
    return kFailed;
}

int32_t notInstalled() {
    g_lastError = L"crash reporting is not installed";
    return kFailed;
}

}  // namespace

int32_t install(const InstallRecord*) { return notBuilt(); }
int32_t uninstall() { return notInstalled(); }
bool isInstalled() { return false; }
int32_t installThreadHandlers(uint32_t) { return notInstalled(); }
int32_t uninstallThreadHandlers() { return notInstalled(); }
int32_t addFile(const wchar_t*, const wchar_t*, const wchar_t*, uint32_t) { return notInstalled(); }
std::wstring lastErrorText() { return g_lastError; }
std::string reportsRoot() { return {}; }

}  // namespace crash

#endif  // _WIN32
