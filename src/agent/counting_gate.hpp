#pragma once
// A counting semaphore: at most `permits` holders at once.

#include <condition_variable>
#include <mutex>

namespace vexa {

class CountingGate {
public:
    explicit CountingGate(int permits) : available_(permits) {}
    CountingGate(const CountingGate&) = delete;
    CountingGate& operator=(const CountingGate&) = delete;

    void acquire() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return available_ > 0; });
        --available_;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++available_;
        }
        cv_.notify_one();
    }

    // Holds one permit for its lifetime.
    class Permit {
    public:
        explicit Permit(CountingGate& gate) : gate_(gate) { gate_.acquire(); }
        ~Permit() { gate_.release(); }
        Permit(const Permit&) = delete;
        Permit& operator=(const Permit&) = delete;

    private:
        CountingGate& gate_;
    };

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int available_;
};

}  // namespace vexa
