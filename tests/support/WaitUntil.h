// Waiting for a state of another process that gives no signal of its own
// (a file appears, a port answers, a marker is held).
#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

// Polls `condition` every few milliseconds until it holds or `timeout` has
// passed; false when it never held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testsupport
