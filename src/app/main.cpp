#include "app/GameLauncher.h"
#include "platform/process.h"

// The program reads no command-line arguments.
int main() {
    platform::keepRunningPastFileSizeLimit();
    return GameLauncherMain();
}
