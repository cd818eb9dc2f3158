// The threads of the test's own process, for the tests that check a
// component leaves none behind.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The name of each thread of this process (empty where it has none or the
// system would not tell), one entry per thread.
std::vector<std::string> threadNames();

}  // namespace testsupport
