#pragma once
// The private state behind vexa_core::CoreSession.

#include "vexa_core/core_session.hpp"

#include "agent/agent.hpp"

#include <memory>

#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

// A nested class takes the visibility of the exported CoreSession; the
// implementation stays internal to the library.
#if defined(_WIN32) || defined(__CYGWIN__)
#define VEXA_CORE_INTERNAL
#else
#define VEXA_CORE_INTERNAL __attribute__((visibility("hidden")))
#endif

namespace vexa_core {

// Locking rules:
// - `mutex` is the session lock: every public method except cancel,
//   is_cancel_requested, request_tools and oneshot_completion holds it for its
//   whole duration (a turn holds it throughout).
// - Those four lock-free methods still read the agent pointer. They hold
//   `agent_access` shared while they use the agent; initialize and shutdown
//   hold it exclusively only for the moment they install or destroy an agent,
//   after that agent has been quiesced (its own shutdown / extraction wait ran
//   under the session lock alone). So a lock-free call never sees a dangling
//   agent, and never waits for a turn.
// - `last_error` has its own small lock because lock-free methods write it
//   while a turn may be writing it too.
struct VEXA_CORE_INTERNAL CoreSession::Impl {
    std::mutex mutex;
    std::shared_mutex agent_access;
    // Written under `mutex` and `agent_access` (exclusive); read under either.
    std::unique_ptr<vexa::Agent> agent;

    void set_error(std::string text) {
        std::lock_guard lock(error_mutex_);
        last_error_ = std::move(text);
    }
    void clear_error() {
        std::lock_guard lock(error_mutex_);
        last_error_.clear();
    }
    std::string error() const {
        std::lock_guard lock(error_mutex_);
        return last_error_;
    }
    // The answer of an operation that needs an agent when there is none.
    template <typename T>
    T not_initialized(T result);
    void not_initialized();

private:
    mutable std::mutex error_mutex_;
    std::string last_error_;
};

}  // namespace vexa_core
