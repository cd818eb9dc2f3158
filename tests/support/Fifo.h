// FIFOs put where the program expects a file, and a guard that keeps a call
// that blocks on one from hanging the test.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

namespace testsupport {

// Creates a FIFO at `path` (mode 0600); fails the test when it cannot.
void makeFifo(const std::filesystem::path& path);

// Runs `call` on a thread of its own and reports whether it returned within
// `bound`. When it has not, every FIFO of `fifos` is opened for reading and
// writing, which lets go an open() blocked on it, and then closed, which ends
// a blocked read; the thread is joined either way, so a failing test fails
// instead of hanging. Asserts nothing about how fast the call is.
bool returnsDespiteFifos(const std::function<void()>& call, const std::vector<std::filesystem::path>& fifos,
                         std::chrono::seconds bound = std::chrono::seconds(30));

}  // namespace testsupport
