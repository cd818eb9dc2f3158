#include "crash/ThreadCrashHandler.h"

#include "crash/CrashEngine.h"

// The flags 0 ask for every handler. Failures change nothing for the thread:
// it runs on without its own alternate stack.
void installThreadCrashHandler() {
    if (crash::isInstalled()) crash::installThreadHandlers(0);
}

void uninstallThreadCrashHandler() {
    if (crash::isInstalled()) crash::uninstallThreadHandlers();
}
