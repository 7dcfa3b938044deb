#pragma once
// Starts llama.cpp's own HTTP server (built with the library's llama.cpp) on a free
// loopback port with a given model, waits until it answers /health, and stops it
// again. Only for tests: the real peer for the chat-completions backend.

#include "fixtures/scripted_server.hpp"
#include "llm/http_client.hpp"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vexa::local_test {

class LlamaServerProcess {
public:
    LlamaServerProcess() = default;
    ~LlamaServerProcess() { stop(); }
    LlamaServerProcess(const LlamaServerProcess&) = delete;
    LlamaServerProcess& operator=(const LlamaServerProcess&) = delete;

    // False with a reason when the server does not come up within `wait`.
    bool start(const std::string& server, const std::string& model, std::string& error,
               std::chrono::seconds wait = std::chrono::seconds(120)) {
        port_ = test::unused_loopback_port();
        if (port_ <= 0) {
            error = "no free loopback port";
            return false;
        }
        const std::vector<std::string> args = {server,       "-m",    model, "--host", "127.0.0.1",
                                               "--port",     std::to_string(port_), "-c", "2048",
                                               "-np",        "1",     "-t",  "1",      "--no-warmup"};
        if (!spawn(args, error)) return false;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        // /tokenize answers 503 while the model loads and 200 once it serves.
        HttpClient client;
        client.set_timeout_seconds(5);
        client.set_header("Content-Type", "application/json");
        const std::string probe = "http://127.0.0.1:" + std::to_string(port_) + "/tokenize";
        while (std::chrono::steady_clock::now() < deadline) {
            if (!running()) {
                error = "llama-server exited during start-up";
                return false;
            }
            if (client.post(probe, "{\"content\":\"x\"}").status_code == 200) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        error = "llama-server did not become ready";
        stop();
        return false;
    }

    int port() const { return port_; }
    std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }

#ifdef _WIN32
    bool running() const {
        return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
    }
    void stop() {
        if (process_ == nullptr) return;
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
        CloseHandle(process_);
        process_ = nullptr;
    }

private:
    bool spawn(const std::vector<std::string>& args, std::string& error) {
        std::string cmd;
        for (const std::string& a : args) cmd += "\"" + a + "\" ";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                            &pi)) {
            error = "cannot start llama-server";
            return false;
        }
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        return true;
    }
    HANDLE process_ = nullptr;
#else
    bool running() const {
        if (pid_ <= 0) return false;
        int status = 0;
        return waitpid(pid_, &status, WNOHANG) == 0;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

private:
    bool spawn(const std::vector<std::string>& args, std::string& error) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid < 0) {
            error = "fork failed";
            return false;
        }
        if (pid == 0) {
            // The server's log would drown the test output.
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) {
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        pid_ = pid;
        return true;
    }
    pid_t pid_ = -1;
#endif

    int port_ = 0;
};

}  // namespace vexa::local_test
