#pragma once
// Process-wide timing statistics fed by scoped timers ("agent.turn_total",
// "llm.total_latency").

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace vexa {

struct TimingStat {
    std::string name;
    std::int64_t count = 0;
    std::int64_t total_ms = 0;
    std::int64_t min_ms = std::numeric_limits<std::int64_t>::max();
    std::int64_t max_ms = 0;
    std::int64_t last_ms = 0;
};

class TimingRegistry {
public:
    static TimingRegistry& instance();

    void set_enabled(bool enabled) { enabled_.store(enabled, std::memory_order_relaxed); }
    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

    // Adds one measurement to the entry `name`; nothing while disabled.
    void record(const std::string& name, std::int64_t elapsed_ms);

    // Copies of the statistics, for reports and tests.
    std::unordered_map<std::string, TimingStat> snapshot() const;
    std::optional<TimingStat> stat(const std::string& name) const;
    void clear();

private:
    TimingRegistry() = default;

    std::atomic<bool> enabled_{true};
    mutable std::mutex mutex_;
    std::unordered_map<std::string, TimingStat> stats_;
};

// Measures from construction to destruction and records under `name`.
class ScopedTimer {
public:
    explicit ScopedTimer(std::string name);
    ~ScopedTimer();
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

private:
    std::string name_;
    std::int64_t start_ns_;
};

}  // namespace vexa
