// The program's entry sequence: start-up steps in their fixed order on the
// main thread, then shutdown in the reverse order of what was created.
// Returns the process exit code (0 on every path of the sequence itself).
#pragma once

int GameLauncherMain();
