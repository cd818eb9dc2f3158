#include "support/Fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace testsupport {

void makeFifo(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
}

bool returnsDespiteFifos(const std::function<void()>& call, const std::vector<std::filesystem::path>& fifos,
                         std::chrono::seconds bound) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread runner([&] {
        call();
        done.set_value();
    });
    const bool returned = finished.wait_for(bound) == std::future_status::ready;
    if (!returned) {
        std::vector<int> opened;
        for (const auto& fifo : fifos) opened.push_back(::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        for (int fd : opened) {
            if (fd >= 0) ::close(fd);
        }
    }
    runner.join();
    return returned;
}

}  // namespace testsupport
