// Shared by the reliability tests: a count of this process's open file descriptors, and a
// wall-clock guard that ends a test that hangs.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace reliability_test {

// Entries of /proc/self/fd (the directory's own descriptor included, so compare counts
// taken the same way).
inline int open_descriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (readdir(dir) != nullptr) count++;
    closedir(dir);
    return count;
}

// Ends the process with a message when it is still alive after `seconds`: a case that
// hangs fails at once with its name instead of waiting for the test runner's time-out.
class WallClockGuard {
  public:
    WallClockGuard(std::string what, int seconds) : what_(std::move(what)) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
                std::fprintf(stderr, "wall-clock guard: %s still running after %d s\n", what_.c_str(), seconds);
                std::fflush(stderr);
                std::_Exit(3);
            }
        });
    }
    ~WallClockGuard() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    WallClockGuard(const WallClockGuard &) = delete;
    WallClockGuard &operator=(const WallClockGuard &) = delete;

  private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace reliability_test
