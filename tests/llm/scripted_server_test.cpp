// Checks of the loopback test server itself, driven by a raw socket so that
// what it puts on the wire is seen unaltered.

#include "fixtures/scripted_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vexa::test {
namespace {

class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& data) { ASSERT_EQ(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL), (ssize_t)data.size()); }
    // Reads until `until` has arrived, the peer closed, or `limit` passed.
    std::string read(const std::string& until, std::chrono::milliseconds limit, bool* closed = nullptr) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        if (closed) *closed = false;
        while (until.empty() || out.find(until) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= std::chrono::milliseconds(0)) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed) *closed = true;
                break;
            }
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string post(const std::string& body, const std::string& extra = "") {
    return "POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nB-Header: 2\r\nA-Header:  1 \r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(ScriptedServer, RecordsRequestsAndReusesConnections) {
    ScriptedServer server({ScriptedResponse::json("{\"a\":1}"), ScriptedResponse::text("second", 404)});
    RawClient client(server.port());
    ASSERT_TRUE(client.connected());
    client.send(post("{\"x\":true}"));
    const std::string first = client.read("{\"a\":1}", 2000ms);
    EXPECT_EQ(first.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_NE(first.find("Content-Length: 7\r\n"), std::string::npos);
    EXPECT_EQ(first.substr(first.size() - 7), "{\"a\":1}");

    client.send(post("", "Expect: 100-continue\r\n"));
    const std::string second = client.read("second", 2000ms);
    EXPECT_EQ(second.substr(0, 25), "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_NE(second.find("HTTP/1.1 404 Not Found\r\n"), std::string::npos);

    ASSERT_TRUE(server.wait_for_requests(2));
    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].target, "/v1/chat/completions");
    EXPECT_EQ(reqs[0].version, "HTTP/1.1");
    EXPECT_EQ(reqs[0].header_names(), (std::vector<std::string>{"Host", "B-Header", "A-Header", "Content-Length"}));
    EXPECT_EQ(reqs[0].header("a-header"), "1");
    EXPECT_EQ(reqs[0].body, "{\"x\":true}");
    EXPECT_EQ(reqs[0].connection_id, reqs[1].connection_id);
    EXPECT_EQ(reqs[0].sequence, 1u);
    EXPECT_EQ(reqs[1].sequence, 2u);
    EXPECT_EQ(server.connection_count(), 1u);
    EXPECT_EQ(server.pending(), 0u);
}

TEST(ScriptedServer, ChunkedBodyWithDelaysAndFallback) {
    ScriptedResponse r = ScriptedResponse::sse(sse_body({"{\"n\":1}"}));
    r.chunks = split_chunks(r.body(), 10, 20ms);
    ASSERT_EQ(r.chunks.size(), 3u);  // 29 bytes in pieces of 10
    EXPECT_EQ(r.chunks[0].delay, 0ms);
    EXPECT_EQ(r.chunks[1].delay, 20ms);
    ScriptedServer server({r});
    RawClient client(server.port());
    client.send(post("{}"));
    const std::string wire = client.read("0\r\n\r\n", 2000ms);
    EXPECT_NE(wire.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\n\r\na\r\ndata: {\"n\"\r\na\r\n:1}\n\ndata:\r\n9\r\n [DONE]\n\n\r\n0\r\n\r\n"),
              std::string::npos)
        << wire;

    client.send(post("{}"));  // nothing queued any more
    const std::string fallback = client.read("no scripted response", 2000ms);
    EXPECT_EQ(fallback.substr(0, 36), "HTTP/1.1 500 Internal Server Error\r\n");
}

TEST(ScriptedServer, CloseHangAndTruncation) {
    ScriptedResponse truncated = ScriptedResponse::json("{\"partial\"");
    truncated.end = ScriptedResponse::End::Abort;
    ScriptedServer server({ScriptedResponse::close(), ScriptedResponse::hang(), truncated});
    {
        RawClient c(server.port());
        c.send(post("{}"));
        bool closed = false;
        EXPECT_EQ(c.read("", 2000ms, &closed), "");
        EXPECT_TRUE(closed);
    }
    {
        RawClient c(server.port());
        c.send(post("{}"));
        bool closed = true;
        EXPECT_EQ(c.read("", 200ms, &closed), "");
        EXPECT_FALSE(closed);
    }
    {
        RawClient c(server.port());
        c.send(post("{}"));
        bool closed = false;
        const std::string wire = c.read("", 2000ms, &closed);
        EXPECT_TRUE(closed);
        EXPECT_NE(wire.find("Content-Length: 11\r\n"), std::string::npos);  // announces more than it sends
        EXPECT_EQ(wire.substr(wire.size() - 10), "{\"partial\"");
    }
    EXPECT_TRUE(server.wait_for_idle(2000ms));
    EXPECT_EQ(server.request_count(), 3u);
}

TEST(ScriptedServer, StopEndsHangsPromptly) {
    auto server = std::make_unique<ScriptedServer>(std::vector<ScriptedResponse>{ScriptedResponse::hang()});
    RawClient c(server->port());
    c.send(post("{}"));
    ASSERT_TRUE(server->wait_for_requests(1));
    const auto t0 = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2000ms);
}

TEST(ScriptedServer, StalledListenerKeepsConnectPending) {
    StalledListener stalled;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(stalled.port()));
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ASSERT_TRUE(rc == -1 && errno == EINPROGRESS);
    pollfd p{fd, POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 300), 0);  // neither connected nor refused
    ::close(fd);
}

}  // namespace
}  // namespace vexa::test
