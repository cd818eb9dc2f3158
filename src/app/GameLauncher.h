// The program's entry sequence: start-up steps in their fixed order on the
// main thread, then shutdown in the reverse order of what was created.
// Returns the process exit code: 0 on every ordinary path, failed updates
// included; 1 when the window cannot be shown (no usable display, a skin
// that cannot be built). The worker ends the process with 1 itself when it
// cannot close the window.
#pragma once

int GameLauncherMain();
