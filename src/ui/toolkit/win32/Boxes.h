// The backend's message boxes and its window for calls no window owns.
// Private to src/ui/toolkit/win32/.
#pragma once

#include "ui/toolkit/win32/Win32.h"

#include <cstdint>
#include <stop_token>

#include "ui/toolkit/Toolkit.h"

namespace ui {

// MessageBoxW with one OK button on the calling thread, owned by `owner`
// (may be null), which is disabled while it is open. kIdOk once confirmed;
// 0 when `stop` closed it (or came first).
int32_t showBox(HWND owner, const wchar_t* text, const wchar_t* caption, MessageIcon icon, std::stop_token stop);

// The toolkit's message-only window on the UI thread; null when not started.
HWND toolkitCallWindow();

}  // namespace ui
