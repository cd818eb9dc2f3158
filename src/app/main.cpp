#include "app/GameLauncher.h"

// The program reads no command-line arguments.
int main() { return GameLauncherMain(); }
