// Runs work on the UI thread for a caller on another thread and waits for it,
// the way SendMessageW does across threads. Private to src/ui/.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <stop_token>

#include "ui/toolkit/PendingCall.h"

namespace ui {

// Runs `work` on `context`'s thread: directly when that is the calling
// thread, else queued behind everything already queued there, blocking the
// caller until it has run. Waits without a time-out but wakes on `stop`: when
// the UI thread no longer handles anything (its loop has ended), that is the
// only way out. `work` must own everything it uses (capture by value): it may
// still be running when an interrupted caller has returned.
CallResult callOnUiThread(QObject* context, std::function<intptr_t()> work, std::stop_token stop, intptr_t* out);

}  // namespace ui
