#include "knowledge/background_runner.hpp"

#include <system_error>
#include <utility>

namespace vexa {

BackgroundRunner::~BackgroundRunner() {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the job destroys its owner; it ends on its own
        return;
    }
    thread_.join();
}

bool BackgroundRunner::start(std::function<void()> job, std::function<void()> on_finish) {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    bool expected = false;
    if (!running_->compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return false;
    // The earlier job cleared the flag as its last step; its thread ends at once.
    if (thread_.joinable()) thread_.join();
    try {
        thread_ = std::thread([flag = running_, job = std::move(job), on_finish = std::move(on_finish)]() {
            try {
                if (job) job();
            } catch (...) {
                // A failed job leaves what it had not done undone; the runner goes on.
            }
            try {
                if (on_finish) on_finish();
            } catch (...) {
            }
            flag->store(false, std::memory_order_release);
        });
    } catch (...) {
        running_->store(false, std::memory_order_release);
        throw;
    }
    return true;
}

void BackgroundRunner::join() {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "a background job cannot wait for itself");
    }
    thread_.join();
}

}  // namespace vexa
