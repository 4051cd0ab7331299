// The network clients' HTTP transport against a scripted server: URL forms, reply framings, the
// limits, and the failure kind with its entry on the crypto library's error queue.
#include "ssf/net/http.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "common/http_stub.h"
#include "fixture.h"

namespace {

using ssf::http::Failure;
using testing_support::HttpReply;
using testing_support::HttpStub;

TEST(HttpUrl, SplitsSchemeHostPortAndPath) {
    struct Case {
        const char *text, *host, *port, *path;
        bool tls;
    };
    const Case cases[] = {
        {"http://h.example/ws/hok", "h.example", "80", "/ws/hok", false},
        {"HTTPS://h", "h", "443", "/", true},
        {"hTTp://h:8080/a?b=c#part", "h", "8080", "/a?b=c", false},
        {"https://[::1]:8443/x", "::1", "8443", "/x", true},
        {"http://h?q=1", "h", "80", "/?q=1", false},
    };
    for (const Case& c : cases) {
        const auto u = ssf::http::split_url(c.text);
        ASSERT_TRUE(u) << c.text;
        EXPECT_EQ(u->tls, c.tls) << c.text;
        EXPECT_EQ(u->host, c.host) << c.text;
        EXPECT_EQ(u->port, c.port) << c.text;
        EXPECT_EQ(u->path, c.path) << c.text;
    }
    for (const char* bad : {"ftp://h/", " http://h/", "http://", "http://h:0/", "http://h:65536/",
                            "http://h:8x/", "http://[::1/", "http://user@h/", "http://h/a b"})
        EXPECT_FALSE(ssf::http::split_url(bad)) << bad;
}

std::string drain_errors() {
    std::string s;
    ERR_print_errors_cb(
        [](const char* str, size_t len, void* u) -> int {
            static_cast<std::string*>(u)->append(str, len);
            return 1;
        },
        &s);
    return s;
}

class HttpReplies : public ssf_test::Started {};

TEST_F(HttpReplies, FramingsLimitsAndFailures) {
    const std::string body(3000, 'b');
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    struct Case {
        const char* name;
        HttpReply reply;
        Failure failure;
        std::string body;    // expected when the exchange succeeds
        std::string reason;  // on the error queue; "" for an empty queue
        std::string data;    // the error's data, "" for none expected
    };
    const Case cases[] = {
        {"length", HttpReply::make(200, body), Failure::none, body, "", ""},
        {"chunk extension and trailer",
         HttpReply::bytes(
             ok + "Transfer-Encoding: Chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nX-T: 1\r\n\r\n"),
         Failure::none, "hello", "", ""},
        {"up to the close", HttpReply::bytes("HTTP/1.0 200 OK\r\n\r\n" + body), Failure::none, body,
         "", ""},
        {"long header line",
         HttpReply::bytes(ok + "X-Long: " + std::string(3000, 'h') + "\r\n\r\nhi"), Failure::none,
         "hi", "", ""},
        {"lines across reads", HttpReply::bytes(ok + "Content-Length: 2\r\n\r\nhi", {27, 5, 3}),
         Failure::none, "hi", "", ""},
        {"header lines over the bound",
         HttpReply::bytes(ok + "X-A: " + std::string(3000, 'h') +
                          "\r\nX-B: " + std::string(3000, 'h') + "\r\n\r\n"),
         Failure::too_big, "", "server read error", "header lines too long"},
        {"length over the bound", HttpReply::bytes(ok + "Content-Length: 70000\r\n\r\n"),
         Failure::too_big, "", "server read error", "reply too big"},
        {"chunks over the bound", HttpReply::chunked(200, std::string(70000, 'x'), {40000}),
         Failure::too_big, "", "server read error", "reply too big"},
        // Chunk framing is the body's: many small chunks are no long head, yet cost what they
        // carry, and no framing line runs on without bound.
        {"many small chunks", HttpReply::chunked(200, body, std::vector<size_t>(3000, 1)),
         Failure::none, body, "", ""},
        {"framing over the bound",
         HttpReply::chunked(200, std::string(20000, 'x'), std::vector<size_t>(20000, 1)),
         Failure::too_big, "", "server read error", "reply too big"},
        {"chunk line over the bound",
         HttpReply::bytes(ok + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(5000, 'e') +
                          "\r\nx\r\n0\r\n\r\n"),
         Failure::too_big, "", "server read error", "chunk line too long"},
        {"cut short", HttpReply::bytes(ok + "Content-Length: 10\r\n\r\nabc"), Failure::read, "",
         "server read error", "reply cut short"},
        {"404 without a reason", HttpReply::bytes("HTTP/1.1 404\r\n\r\n"), Failure::status, "",
         "server response error", "Code=404\n"},
        {"no code", HttpReply::bytes("HTTP/1.1\r\n\r\n"), Failure::malformed, "",
         "server response parse error", ""},
        {"code not a number", HttpReply::bytes("HTTP/1.1 2x0 OK\r\n\r\n"), Failure::malformed, "",
         "", ""},
        {"no empty line", HttpReply::bytes(ok + "Server: x\r\n"), Failure::no_content, "",
         "no content", ""},
        {"compressed", HttpReply::bytes(ok + "Content-Encoding: gzip\r\n\r\nxx"),
         Failure::malformed, "", "server response parse error", "content coding not supported"},
        {"bad chunk size", HttpReply::bytes(ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n"),
         Failure::malformed, "", "server response parse error", "bad chunk size"},
    };
    ssf::http::Limits limits;
    limits.total_timeout_ms = 300;
    limits.max_head_bytes = 4096;
    limits.max_body_bytes = 64 * 1024;
    for (const Case& c : cases) {
        HttpStub stub([&c](const auto&) { return c.reply; });
        ERR_clear_error();
        ssf::http::Connection conn(limits);
        ASSERT_EQ(conn.connect("127.0.0.1", std::to_string(stub.port())), Failure::none);
        ASSERT_EQ(conn.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), Failure::none);
        ssf::http::Reply reply;
        EXPECT_EQ(conn.receive(reply), c.failure) << c.name;
        if (c.failure == Failure::none) {
            EXPECT_EQ(reply.body, c.body) << c.name;
        }
        const std::string queued = drain_errors();
        if (c.reason.empty()) {
            EXPECT_EQ(queued, "") << c.name;
            continue;
        }
        EXPECT_NE(queued.find(c.reason + ":"), std::string::npos) << c.name << ": " << queued;
        EXPECT_NE(queued.find(":" + c.data), std::string::npos) << c.name << ": " << queued;
    }
}

}  // namespace
