// windows.h for the Win32 backend, without the macros that would rename the
// toolkit's own MessageBox and SendMessage. Private to src/ui/toolkit/win32/.
#pragma once

#include <windows.h>

#undef MessageBox
#undef SendMessage
