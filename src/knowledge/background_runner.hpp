#pragma once
// One background job at a time on a thread of its own (the memory
// extraction): a start while a job runs starts nothing, the previous thread is
// joined before the next one starts, and the owner joins before it goes away.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vexa {

class BackgroundRunner {
public:
    BackgroundRunner() = default;
    // Joins a running job. Destroyed from the job's own thread, the thread is
    // detached instead; `on_finish` must then not touch the owner.
    ~BackgroundRunner();
    BackgroundRunner(const BackgroundRunner&) = delete;
    BackgroundRunner& operator=(const BackgroundRunner&) = delete;

    // Runs `job` on a new thread unless a job is running: then nothing starts
    // and the result is false. The thread of an earlier, finished job is joined
    // first. Whatever `job` throws is swallowed; `on_finish` then runs on the
    // same thread in every case, before running() turns false, so that what it
    // resets is in place when the next start is allowed. A thread that cannot
    // be created clears the running state and throws std::system_error.
    // Neither function may call start() or join() of this runner.
    bool start(std::function<void()> job, std::function<void()> on_finish = {});

    // Waits for the current job's thread, if any. Called from that very thread
    // it throws std::system_error (resource_deadlock_would_occur).
    void join();

    // True from a successful start() until the job and `on_finish` are done.
    bool running() const { return running_->load(std::memory_order_acquire); }

private:
    std::mutex thread_mutex_;  // guards thread_
    std::thread thread_;
    // Shared with the thread, so a job that outlives its runner (detached)
    // still has its flag to clear.
    std::shared_ptr<std::atomic<bool>> running_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace vexa
