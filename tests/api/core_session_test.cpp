// CoreSession without an agent: the answers of every method, initialisation
// (locale, configuration, warning, policy bits), move semantics, shutdown, and
// which methods wait for the session lock.

#include "vexa_core/core_session.hpp"

#include "config/agent_config.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vexa_core::CoreSession;

const std::string kNotInitialized = "CoreSession is not initialized.";

std::string warning_for(const std::string& path) {
    return "Warning: Could not load config from " + path + ". Using default configuration.";
}

class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ = fs::temp_directory_path() / ("vexa_api_test_" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    std::string str(const std::string& relative = {}) const {
        return relative.empty() ? path_.string() : (path_ / relative).string();
    }
    void write(const std::string& relative, const std::string& text) const {
        const fs::path file = path_ / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

private:
    fs::path path_;
};

// ---- without an agent -------------------------------------------------------

struct NoAgentCase {
    const char* method;
    std::function<void(CoreSession&)> call;  // checks the result itself
    bool records_not_initialized;            // else last_error stays as it was
};

const NoAgentCase kNoAgentCases[] = {
    {"add_conversation_from_memory", [](CoreSession& s) { EXPECT_EQ(s.add_conversation_from_memory("[]"), -1); }, true},
    {"add_system_prompt", [](CoreSession& s) { s.add_system_prompt("x"); }, true},
    {"agent_name", [](CoreSession& s) { EXPECT_EQ(s.agent_name(), ""); }, false},
    {"cancel", [](CoreSession& s) { s.cancel(); }, false},
    {"clear_session", [](CoreSession& s) { EXPECT_FALSE(s.clear_session()); }, false},
    {"config_text", [](CoreSession& s) { EXPECT_EQ(s.config_text(), ""); }, false},
    {"current_model", [](CoreSession& s) { EXPECT_EQ(s.current_model(), ""); }, false},
    {"current_model_status_json", [](CoreSession& s) { EXPECT_EQ(s.current_model_status_json(), ""); }, false},
    {"current_session_id", [](CoreSession& s) { EXPECT_EQ(s.current_session_id(), ""); }, false},
    {"current_state", [](CoreSession& s) { EXPECT_EQ(s.current_state(), ""); }, false},
    {"execute_command",
     [](CoreSession& s) {
         const auto r = s.execute_command("/status", "");
         EXPECT_FALSE(r.success);
         EXPECT_FALSE(r.should_exit);
         EXPECT_EQ(r.message, kNotInitialized);
     },
     false},
    {"get_system_prompt", [](CoreSession& s) { EXPECT_EQ(s.get_system_prompt(), ""); }, false},
    {"is_cancel_requested", [](CoreSession& s) { EXPECT_FALSE(s.is_cancel_requested()); }, false},
    {"last_llm_request_id", [](CoreSession& s) { EXPECT_EQ(s.last_llm_request_id(), ""); }, false},
    {"list_registered_tools", [](CoreSession& s) { EXPECT_TRUE(s.list_registered_tools().empty()); }, false},
    {"list_sessions", [](CoreSession& s) { EXPECT_TRUE(s.list_sessions().empty()); }, false},
    {"load_session", [](CoreSession& s) { EXPECT_FALSE(s.load_session("abc")); }, true},
    {"load_skills_from_memory", [](CoreSession& s) { EXPECT_EQ(s.load_skills_from_memory("[]"), -1); }, true},
    {"local_models_json", [](CoreSession& s) { EXPECT_EQ(s.local_models_json(), ""); }, false},
    {"new_session", [](CoreSession& s) { EXPECT_FALSE(s.new_session()); }, false},
    {"oneshot_completion", [](CoreSession& s) { EXPECT_EQ(s.oneshot_completion("[]", ""), ""); }, true},
    {"register_tool",
     [](CoreSession& s) {
         vexa_core::ToolParameterSpec spec;
         spec.name = "lookup";
         EXPECT_FALSE(s.register_tool(spec, [](const std::string&) { return std::string("{}"); }));
     },
     true},
    {"remote_models_json", [](CoreSession& s) { EXPECT_EQ(s.remote_models_json(), ""); }, false},
    {"request_tools", [](CoreSession& s) { EXPECT_FALSE(s.request_tools({"lookup"})); }, true},
    {"save_session", [](CoreSession& s) { EXPECT_FALSE(s.save_session()); }, true},
    {"send_text_stream",
     [](CoreSession& s) {
         int events = 0;
         const auto r = s.send_text_stream("hi", {}, [&](const vexa_core::AgentEvent&) { ++events; });
         EXPECT_FALSE(r.success);
         EXPECT_FALSE(r.cancelled);
         EXPECT_EQ(r.error, kNotInitialized);
         EXPECT_EQ(events, 0);
     },
     true},
    {"set_conversation_from_memory", [](CoreSession& s) { EXPECT_EQ(s.set_conversation_from_memory("[]"), -1); }, true},
    {"set_host_llm_context", [](CoreSession& s) { EXPECT_FALSE(s.set_host_llm_context({})); }, true},
    {"set_identity_from_memory", [](CoreSession& s) { EXPECT_FALSE(s.set_identity_from_memory("{}")); }, true},
    {"set_llm_override", [](CoreSession& s) { EXPECT_FALSE(s.set_llm_override({})); }, true},
    {"set_soul_from_memory", [](CoreSession& s) { EXPECT_FALSE(s.set_soul_from_memory("soul")); }, true},
    {"set_system_prompt", [](CoreSession& s) { s.set_system_prompt("x"); }, true},
    {"set_tool_confirm_callback", [](CoreSession& s) { s.set_tool_confirm_callback({}); }, true},
    {"shutdown", [](CoreSession& s) { s.shutdown(); }, false},
    {"status_text", [](CoreSession& s) { EXPECT_EQ(s.status_text(), ""); }, false},
    {"unregister_tool", [](CoreSession& s) { EXPECT_FALSE(s.unregister_tool("model_management")); }, true},
};

TEST(CoreSessionWithoutAgent, EveryMethodAnswersAndRecordsAsDocumented) {
    for (const NoAgentCase& c : kNoAgentCases) {
        SCOPED_TRACE(c.method);
        CoreSession fresh;
        c.call(fresh);
        EXPECT_EQ(fresh.last_error(), c.records_not_initialized ? kNotInitialized : "");

        // An earlier error survives the methods that do not record one.
        CoreSession marked;
        marked.set_last_error_for_validation("earlier");
        c.call(marked);
        EXPECT_EQ(marked.last_error(), c.records_not_initialized ? kNotInitialized : "earlier");
    }
}

TEST(CoreSessionWithoutAgent, AfterShutdownTheSessionIsUninitialisedAgain) {
    TempDir dir;
    dir.write("config/agent_config.json", "{}");
    CoreSession session;
    ASSERT_TRUE(session.initialize({dir.str(), "", 0}));
    session.shutdown();
    session.shutdown();  // harmless the second time
    EXPECT_EQ(session.current_state(), "");
    EXPECT_FALSE(session.save_session());
    EXPECT_EQ(session.last_error(), kNotInitialized);
    ASSERT_TRUE(session.initialize({dir.str(), "", 0}));
    EXPECT_EQ(session.last_error(), "");
}

// ---- initialize -------------------------------------------------------------

TEST(CoreSessionInitialize, MissingConfigurationWarnsWithTheDefaultPath) {
    TempDir dir;
    CoreSession session;
    EXPECT_TRUE(session.initialize({dir.str("base"), "", 0}));
    const std::string expected_path = (dir.path() / "base" / "config" / "agent_config.json").string();
    EXPECT_EQ(session.last_error(), warning_for(expected_path));
    auto& config = vexa::AgentConfig::instance();
    EXPECT_EQ(config.base_dir, dir.str("base"));
    EXPECT_EQ(config.config_path, expected_path);
}

TEST(CoreSessionInitialize, DefaultPathIsNormalisedAndBaseDirKeptAsGiven) {
    TempDir dir;
    dir.write("config/agent_config.json", R"({"agent":{"name":"Normalised"}})");
    const std::string base = dir.str() + "/./sub/..";
    CoreSession session;
    ASSERT_TRUE(session.initialize({base, "", 0}));
    EXPECT_EQ(session.last_error(), "");
    auto& config = vexa::AgentConfig::instance();
    EXPECT_EQ(config.base_dir, base);
    EXPECT_EQ(config.config_path, (dir.path() / "config" / "agent_config.json").string());
    EXPECT_EQ(config.agent.name, "Normalised");
}

TEST(CoreSessionInitialize, InvalidConfigurationWarnsWithTheGivenPath) {
    TempDir dir;
    struct Case {
        const char* name;
        const char* text;
    };
    const Case cases[] = {
        {"syntax error", R"({"agent": )"},
        {"wrong type", R"({"llm": {"max_tokens": "many"}})"},
        {"section not an object", R"({"agent": 3})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("bad.json", c.text);
        CoreSession session;
        EXPECT_TRUE(session.initialize({dir.str(), dir.str("bad.json"), 0}));
        EXPECT_EQ(session.last_error(), warning_for(dir.str("bad.json")));
    }
}

TEST(CoreSessionInitialize, LoadsTheFileStoresPolicyBitsAndClearsEarlierErrors) {
    TempDir dir;
    dir.write("cfg/agent.json", R"({"agent":{"name":"Tester","max_tool_rounds":5},"llm":{"temperature":0.75}})");
    CoreSession session;
    EXPECT_FALSE(session.save_session());
    ASSERT_EQ(session.last_error(), kNotInitialized);

    const std::uint32_t flags = vexa_core::policy_no_persistence | vexa_core::policy_no_model_tool | 0x10;
    EXPECT_TRUE(session.initialize({dir.str(), dir.str("cfg/agent.json"), flags}));
    EXPECT_EQ(session.last_error(), "");
    const auto& config = vexa::AgentConfig::instance();
    EXPECT_EQ(config.agent.name, "Tester");
    EXPECT_EQ(config.agent.max_tool_rounds, 5);
    EXPECT_DOUBLE_EQ(config.llm.temperature, 0.75);
    EXPECT_EQ(config.host_policy_flags, flags);
    EXPECT_EQ(config.config_path, dir.str("cfg/agent.json"));
    EXPECT_EQ(config.base_dir, dir.str());

    // The next initialisation replaces the bits.
    EXPECT_TRUE(session.initialize({dir.str(), dir.str("cfg/agent.json"), 0}));
    EXPECT_EQ(vexa::AgentConfig::instance().host_policy_flags, 0u);
}

TEST(CoreSessionInitialize, EmptyBaseDirMeansTheExecutablesDirectory) {
    CoreSession session;
    EXPECT_TRUE(session.initialize({}));
    EXPECT_EQ(vexa::AgentConfig::instance().base_dir, vexa::executable_directory());
    const std::string error = session.last_error();
    const std::string expected_path =
        (fs::path(vexa::executable_directory()) / "config" / "agent_config.json").lexically_normal().string();
    if (!fs::exists(expected_path)) {
        EXPECT_EQ(error, warning_for(expected_path));
    }
}

TEST(CoreSessionInitialize, SetsAUtf8Locale) {
    CoreSession session;
    TempDir dir;
    EXPECT_TRUE(session.initialize({dir.str(), "", 0}));
    const char* name = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(name, nullptr);
    const std::string locale = name;
    EXPECT_TRUE(locale.find("UTF-8") != std::string::npos || locale.find("utf8") != std::string::npos) << locale;
    // Formatting of the host's numbers is the C locale's business; the
    // library's own output must not change with it.
    EXPECT_STREQ(std::localeconv()->decimal_point, ".");
}

// ---- move semantics ---------------------------------------------------------

TEST(CoreSessionMove, MoveTransfersTheSessionAndLeavesAHarmlessShell) {
    CoreSession a;
    a.set_last_error_for_validation("from a");

    CoreSession b(std::move(a));
    EXPECT_EQ(b.last_error(), "from a");
    // The moved-from session answers as one without an agent and records nothing.
    EXPECT_EQ(a.last_error(), "");            // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(a.save_session());           // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(a.last_error(), "");            // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(a.send_text_stream("x").error, kNotInitialized);  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(a.initialize({}));           // NOLINT(bugprone-use-after-move)
    a.cancel();                               // NOLINT(bugprone-use-after-move)
    a.shutdown();                             // NOLINT(bugprone-use-after-move)

    CoreSession c;
    c.set_last_error_for_validation("from c");
    c = std::move(b);
    EXPECT_EQ(c.last_error(), "from a");

    // Assigning a session to itself keeps it.
    CoreSession& alias = c;
    c = std::move(alias);
    EXPECT_EQ(c.last_error(), "from a");

    // A moved-from session can receive a session again.
    a = std::move(c);
    EXPECT_EQ(a.last_error(), "from a");
}

// ---- locking ----------------------------------------------------------------

#if !defined(_WIN32)
// A configuration "file" that is a FIFO keeps initialize inside the session
// lock until the test writes to it.
class BlockedInitialize {
public:
    explicit BlockedInitialize(CoreSession& session, const TempDir& dir) : fifo_(dir.str("config.fifo")) {
        if (::mkfifo(fifo_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        result_ = std::async(std::launch::async, [&session, this, base = dir.str()] {
            return session.initialize({base, fifo_, 0});
        });
        // Opening the writing end succeeds once initialize has opened the
        // reading end, that is, while it holds the session lock.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while ((fd_ = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                result_.wait();
                throw std::runtime_error("initialize never opened the configuration file");
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    bool release() {
        const char text[] = "{}";
        EXPECT_EQ(::write(fd_, text, 2), 2);
        ::close(fd_);
        fd_ = -1;
        return result_.get();
    }
    ~BlockedInitialize() {
        if (fd_ >= 0) {
            ::close(fd_);
            result_.wait();
        }
    }

private:
    std::string fifo_;
    int fd_ = -1;
    std::future<bool> result_;
};

template <typename F>
std::chrono::milliseconds time_of(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(CoreSessionConcurrency, CancelAndLockFreeMethodsNeverWaitForTheSessionLock) {
    TempDir dir;
    CoreSession session;
    BlockedInitialize blocked(session, dir);

    // Another thread: locked accessors wait while the lock is held.
    auto status = std::async(std::launch::async, [&] { return session.status_text(); });
    EXPECT_EQ(status.wait_for(100ms), std::future_status::timeout);

    // The lock-free methods answer at once.
    EXPECT_LT(time_of([&] { session.cancel(); }), 1000ms);
    EXPECT_LT(time_of([&] { EXPECT_FALSE(session.is_cancel_requested()); }), 1000ms);
    EXPECT_LT(time_of([&] { EXPECT_FALSE(session.request_tools({"x"})); }), 1000ms);
    EXPECT_LT(time_of([&] { EXPECT_EQ(session.oneshot_completion("[]", ""), ""); }), 1000ms);
    auto cancel_elsewhere = std::async(std::launch::async, [&] {
        session.cancel();
        return session.is_cancel_requested();
    });
    ASSERT_EQ(cancel_elsewhere.wait_for(1s), std::future_status::ready);
    EXPECT_FALSE(cancel_elsewhere.get());

    EXPECT_TRUE(blocked.release());
    // The waiting reader saw the initialised session, not the state before it.
    EXPECT_EQ(status.get(), session.status_text());
    // initialize cleared last_error at its start; the lock-free calls above
    // may have recorded theirs afterwards.
    const std::string error = session.last_error();
    EXPECT_TRUE(error.empty() || error == kNotInitialized) << error;
}
#endif

TEST(CoreSessionConcurrency, LockFreeAndLockedMethodsShareLastErrorSafely) {
    CoreSession session;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            session.request_tools({"x"});
            session.oneshot_completion("[]", "");
        }
    });
    for (int i = 0; i < 2000; ++i) {
        session.set_last_error_for_validation("validation failed");
        const std::string error = session.last_error();
        EXPECT_TRUE(error == "validation failed" || error == kNotInitialized) << error;
    }
    stop = true;
    writer.join();
}

}  // namespace
