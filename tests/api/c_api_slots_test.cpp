// The C interface's returned-text slots under concurrent use, and its
// conversions that the C test cannot observe without an agent.

#include "vexa_core/vexa_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kNotInitialized = "CoreSession is not initialized.";

struct HandleDeleter {
    void operator()(VexaCoreHandle* h) const { vexa_core_destroy(h); }
};
using Handle = std::unique_ptr<VexaCoreHandle, HandleDeleter>;

TEST(CApiSlotsConcurrency, TwoThreadsCallingDifferentTextFunctions) {
    Handle h(vexa_core_create());
    ASSERT_NE(h, nullptr);
    vexa_core_set_system_prompt(h.get(), "x");  // records the not-initialised text
    std::atomic<bool> go{false};
    std::atomic<int> bad{0};

    auto errors = std::async(std::launch::async, [&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 5000; ++i) {
            const char* text = vexa_core_last_error(h.get());
            if (text == nullptr || kNotInitialized != text) ++bad;
        }
    });
    auto states = std::async(std::launch::async, [&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 5000; ++i) {
            const char* a = vexa_core_current_state(h.get());
            const char* b = vexa_core_model_status_json(h.get());
            const char* c = vexa_core_current_session_id(h.get());
            if (a == nullptr || b == nullptr || c == nullptr || *a || *b || *c) ++bad;
            vexa_core_cancel(h.get());
            if (vexa_core_is_cancel_requested(h.get()) != 0) ++bad;
        }
    });
    go = true;
    errors.get();
    states.get();
    EXPECT_EQ(bad.load(), 0);
}

TEST(CApiSlots, EachFunctionOwnsItsSlot) {
    Handle h(vexa_core_create());
    vexa_core_set_system_prompt(h.get(), "x");
    const char* error = vexa_core_last_error(h.get());
    const char* state = vexa_core_current_state(h.get());
    EXPECT_NE(static_cast<const void*>(error), static_cast<const void*>(state));
    EXPECT_EQ(std::string(error), kNotInitialized);

    // Every other text function leaves the last_error text alone.
    vexa_core_current_model(h.get());
    vexa_core_current_session_id(h.get());
    vexa_core_model_status_json(h.get());
    vexa_core_get_system_prompt(h.get());
    vexa_core_last_llm_request_id(h.get());
    EXPECT_EQ(std::string(error), kNotInitialized);

    // The oneshot text slot is its own too: a null message list answers with
    // the static empty text and records nothing.
    vexa_core_add_system_prompt(h.get(), nullptr);
    const char* empty = vexa_core_oneshot_completion(h.get(), nullptr, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
}

TEST(CApiCancel, CancelFromAnotherThreadReturnsAtOnce) {
    Handle h(vexa_core_create());
    auto done = std::async(std::launch::async, [&] {
        for (int i = 0; i < 1000; ++i) vexa_core_cancel(h.get());
        return vexa_core_is_cancel_requested(h.get());
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
}

TEST(CApi, NullHandleTextIsOneStaticString) {
    const char* a = vexa_core_last_error(nullptr);
    const char* b = vexa_core_current_state(nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "");
    EXPECT_EQ(static_cast<const void*>(a), static_cast<const void*>(b));
}

}  // namespace
