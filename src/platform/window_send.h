// The result of a blocking send to a window (SendMessageW's stand-in), as
// both the toolkit that delivers sends and the workflow that makes them
// know it.
#pragma once

#include <cstdint>

// What a blocking send returns when the sender's stop request ended the
// wait before the window handled the message. No handler of ours returns a
// negative value, so it cannot be taken for a handler's result. The sender
// must take no further step then.
inline constexpr int32_t kSendInterrupted = -1;
