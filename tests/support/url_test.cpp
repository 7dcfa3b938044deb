// Which base URLs the library connects to, which it refuses and why, and how
// link-local addresses are recognised in every spelling a resolver accepts.

#include "support/url.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa {
namespace {

TEST(BaseUrlProblem, Table) {
    const std::string blanks = "the base URL contains blanks or control characters";
    const std::string scheme = "the base URL must start with http:// or https://";
    const std::string user = "the base URL carries user information (user@host)";
    const std::string no_host = "the base URL has no host";
    const std::string host = "the base URL has a malformed host";
    const std::string ipv6 = "the base URL has a malformed IPv6 address in brackets";
    const std::string port = "the base URL has a port that is not a number from 1 to 65535";
    const std::string query = "the base URL carries a query or fragment (? or #)";
    const std::string link_local = "the base URL points at a link-local address (169.254.0.0/16 or fe80::/10)";
    struct Case {
        std::string url;
        std::string problem;  // empty: accepted
    };
    const std::vector<Case> cases = {
        // accepted
        {"https://api.example.com/v1", ""},
        {"HTTP://API.Example.COM:8080/v1/", ""},
        {"http://127.0.0.1:9/v1", ""},
        {"http://localhost/v1", ""},
        {"http://[::1]:8080/v1", ""},
        {"http://[2001:db8::1]/v1", ""},
        {"http://[::ffff:127.0.0.1]/v1", ""},
        {"https://host:/v1", ""},
        {"https://my_host.internal", ""},
        {"http://169.255.0.1/v1", ""},
        {"http://[fec0::1]/v1", ""},
        // other schemes and no scheme
        {"file:///etc/passwd", scheme},
        {"unix:///var/run/docker.sock", scheme},
        {"gopher://127.0.0.1:70/_x", scheme},
        {"javascript:alert(1)", scheme},
        {"ftp://api.example.com", scheme},
        {"api.example.com/v1", scheme},
        {"", scheme},
        // what transports read differently
        {"http://a@evil/v1", user},
        {"https://user:pw@api.example.com", user},
        {"https://api.example.com\\@evil", user},
        {"http://evil.example\\.api.example.com/v1", host},
        {"https://api%2eexample.com", host},
        {"https://bücher.example", host},
        {"https://:443/v1", no_host},
        {"https:///v1", no_host},
        {"http://[::1", ipv6},
        {"http://[::1]x/v1", ipv6},
        {"http://[not-an-address]/v1", ipv6},
        {"http://[fe80::1%25eth0]/v1", ipv6},
        {"http://[1:2:3:4:5:6:7:8:9]/", ipv6},
        {"http://[1::2::3]/", ipv6},
        {"http://a]b/v1", host},
        {"https://api.example.com:99999", port},
        {"https://api.example.com:0", port},
        {"https://api.example.com:1:2", port},
        {"https://api.example.com:-1", port},
        {"https://api.example.com:80a", port},
        {"https://api.example.com/v1\r\nX-Injected: 1", blanks},
        {"https://api.example.com/v1\n", blanks},
        {"https://api.example.com/a b", blanks},
        {" https://api.example.com", blanks},
        {std::string("https://api.example.com/v1\0x", 28), blanks},
        {"https://api.example.com/v1\x7f", blanks},
        {"https://api.example.com/v1?key=x", query},
        {"https://api.example.com/v1#frag", query},
        {"https://api.example.com?x", query},
        // link-local in every spelling
        {"http://169.254.169.254/latest/meta-data/", link_local},
        {"http://169.254.0.1:8080/v1", link_local},
        {"http://169.254.169.254./", link_local},
        {"http://0xa9.0xfe.0xa9.0xfe/", link_local},
        {"http://0251.0376.0251.0376/", link_local},
        {"http://2852039166/", link_local},
        {"http://0xA9FEA9FE/", link_local},
        {"http://169.254.43518/", link_local},
        {"http://169.16689662/", link_local},
        {"http://[fe80::1]/v1", link_local},
        {"http://[FEBF:ffff::1]/v1", link_local},
        {"http://[::ffff:169.254.169.254]/", link_local},
        {"http://[::ffff:a9fe:a9fe]/", link_local},
        {"http://[0:0:0:0:0:ffff:169.254.1.1]/", link_local},
        {"http://[::169.254.169.254]/", link_local},
        {"http://[64:ff9b::169.254.169.254]/", link_local},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(base_url_problem(c.url), c.problem);
    }
}

TEST(BaseUrlParts, SchemeHostAndPortAreNormalised) {
    std::string why = "stale";
    const auto parts = parse_http_url("HTTPS://API.Example.com/v1/x", &why);
    ASSERT_TRUE(parts.has_value()) << why;
    EXPECT_EQ(parts->scheme, "https");
    EXPECT_EQ(parts->host, "api.example.com");
    EXPECT_EQ(parts->port, 443u);
    EXPECT_EQ(parts->rest, "/v1/x");

    const auto v6 = parse_http_url("http://[::1]:8080");
    ASSERT_TRUE(v6.has_value());
    EXPECT_EQ(v6->host, "[::1]");
    EXPECT_EQ(v6->port, 8080u);
    EXPECT_EQ(v6->rest, "");
}

TEST(LinkLocalHost, NamesAndOtherAddressesAreNot) {
    for (const char* host : {"example.com", "169.254.example.com", "localhost", "10.0.0.1", "169.253.255.255",
                             "169.255.0.0", "1.2.3.4.5", "0x", "[::1]", "[fec0::1]", "[::ffff:10.0.0.1]", ""}) {
        EXPECT_FALSE(is_link_local_host(host)) << host;
    }
    for (const char* host : {"169.254.0.0", "169.254.255.255", "[fe80::]", "[::ffff:169.254.0.1]"}) {
        EXPECT_TRUE(is_link_local_host(host)) << host;
    }
}

}  // namespace
}  // namespace vexa
