#pragma once

#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <unistd.h>

namespace parlotta {

// Work handed to a thread that waits in poll(): callers queue a job and wake
// the thread through a pipe, whose read end the thread polls with its other
// descriptors. The selections of X11 and the Wayland connection serve so.
class ThreadQueue {
  public:
    ThreadQueue()
    {
        if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
            wake[0] = wake[1] = -1;
    }
    // The descriptor to poll for POLLIN.
    int fd() const
    {
        return wake[0];
    }
    // Runs work on the thread and waits for its result; any other thread, at
    // start-up (later the main thread posts instead).
    template <typename T> T call(std::function<T()> work)
    {
        if (wake[1] < 0)
            return T(); // no thread can be woken: nothing would ever answer
        std::packaged_task<T()> task(std::move(work));
        std::future<T> result = task.get_future();
        {
            std::lock_guard lock(mutex);
            jobs.emplace_back([&task] { task(); });
        }
        [[maybe_unused]] const ssize_t n = ::write(wake[1], "x", 1);
        return result.get();
    }
    // Queues work for the thread without waiting for it; any thread.
    void post(std::function<void()> work)
    {
        {
            std::lock_guard lock(mutex);
            jobs.emplace_back(std::move(work));
        }
        [[maybe_unused]] const ssize_t n = ::write(wake[1], "x", 1);
    }
    // The thread, once fd() polled readable: runs what was queued.
    void run()
    {
        char drain[64];
        while (::read(wake[0], drain, sizeof drain) > 0) {
        }
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(mutex);
            work.swap(jobs);
        }
        for (auto &job : work)
            job();
    }

  private:
    int wake[2] = {-1, -1};
    std::mutex mutex;
    std::deque<std::function<void()>> jobs;
};

} // namespace parlotta
