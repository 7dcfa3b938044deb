#include "support/timing.hpp"

#include <algorithm>
#include <chrono>

namespace vexa {

namespace {

std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TimingRegistry& TimingRegistry::instance() {
    static TimingRegistry registry;
    return registry;
}

void TimingRegistry::record(const std::string& name, std::int64_t elapsed_ms) {
    if (!enabled()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    TimingStat& stat = stats_[name];
    if (stat.name.empty()) stat.name = name;
    stat.count += 1;
    stat.total_ms += elapsed_ms;
    stat.last_ms = elapsed_ms;
    stat.min_ms = std::min(stat.min_ms, elapsed_ms);
    stat.max_ms = std::max(stat.max_ms, elapsed_ms);
}

std::unordered_map<std::string, TimingStat> TimingRegistry::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

std::optional<TimingStat> TimingRegistry::stat(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = stats_.find(name);
    if (it == stats_.end()) return std::nullopt;
    return it->second;
}

void TimingRegistry::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.clear();
}

ScopedTimer::ScopedTimer(std::string name) : name_(std::move(name)), start_ns_(steady_now_ns()) {}

ScopedTimer::~ScopedTimer() {
    const std::int64_t now_ns = steady_now_ns();
    TimingRegistry& registry = TimingRegistry::instance();
    if (!registry.enabled()) return;
    try {
        registry.record(name_, (now_ns - start_ns_) / 1000000);
    } catch (...) {
        // A lost measurement is better than an exception out of a destructor.
    }
}

}  // namespace vexa
