#include "platform/HttpHead.h"

#include <gtest/gtest.h>

#include <random>

using namespace qm;

TEST(HttpHead, GivesMethodTargetAndHeaders) {
    auto head = HttpHead::parse("GET /profile?name=Near%20field HTTP/1.1\r\nHost: 127.0.0.1:47806\r\n"
                                "X-QuillMarsh:  1 \t\r\nAccept:\r\nX-Quillmarsh: 2");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->method, "GET");
    EXPECT_EQ(head->target, "/profile?name=Near%20field");  // decoding is the caller's
    // Lower-case names, trimmed values, the later line wins, empty values kept.
    EXPECT_EQ(head->headers, (std::map<std::string, std::string>{
                                 {"host", "127.0.0.1:47806"}, {"x-quillmarsh", "2"}, {"accept", ""}}));
    ASSERT_TRUE(head->header("host"));
    EXPECT_EQ(*head->header("host"), "127.0.0.1:47806");
    EXPECT_EQ(head->header("origin"), nullptr);

    auto bare = HttpHead::parse("OPTIONS * HTTP/1.1");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->method, "OPTIONS");
    EXPECT_EQ(bare->target, "*");
    EXPECT_TRUE(bare->headers.empty());
}

TEST(HttpHead, LinesEndWithCRLFOrLFAndNeverWithABareCR) {
    const std::map<std::string, std::string> expected{{"a", "1"}, {"b", "2"}};
    for (const char* head : {"GET /x HTTP/1.1\nA: 1\nB: 2", "GET /x HTTP/1.1\r\nA: 1\nB: 2",
                             "GET /x HTTP/1.1\nA: 1\r\nB: 2"}) {
        auto parsed = HttpHead::parse(head);
        ASSERT_TRUE(parsed) << head;
        EXPECT_EQ(parsed->target, "/x");
        EXPECT_EQ(parsed->headers, expected) << head;
    }
    for (const char* head : {"GET /x HTTP/1.1\r\nA: 1\rB: 2", "GET /x HTTP/1.1\rA: 1", "GET /x HTTP/1.1\r\nA: 1\r",
                             "GET /x\r HTTP/1.1", "GET /x HTTP/1.1\r\nA: 1\r\r\nB: 2",
                             "GET /x HTTP/1.1\r\nA: 1\r\n\rOrigin: http://evil.example"})
        EXPECT_FALSE(HttpHead::parse(head)) << head;
}

TEST(HttpHead, ListsTheNamesGivenTwice) {
    auto head = HttpHead::parse("GET /x HTTP/1.1\r\nOrigin: a\r\nHost: h\r\norigin: b\r\nX: 1\r\nORIGIN: c");
    ASSERT_TRUE(head);
    EXPECT_EQ(*head->header("origin"), "c");
    EXPECT_EQ(head->repeated, std::set<std::string>{"origin"});
    EXPECT_TRUE(HttpHead::parse("GET /x HTTP/1.1\r\nA: 1\r\nB: 1")->repeated.empty());
}

TEST(HttpHead, StopsAtTheEndOfTheHeaders) {
    // What the headers announce after them is not the head's business.
    for (const char* head : {"POST /x HTTP/1.1\r\nContent-Length: 5",
                             "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked",
                             "GET /x HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade"}) {
        auto parsed = HttpHead::parse(head);
        ASSERT_TRUE(parsed) << head;
        EXPECT_EQ(parsed->target, "/x");
    }
}

TEST(HttpHead, RejectsWhatTheParserRejects) {
    for (const char* head : {"", "GET", "GET ", "OPTIONS", "FOO /x HTTP/1.1", "get /x HTTP/1.1",
                             "GET /a b HTTP/1.1", "GET /x HTTP/1.1\r\n: v", "GET /x HTTP/1.1\r\nno colon",
                             "GET /x HTTP/1.1\r\nA\tB: c", "GET /x HTTP/1.1\r\nX-Quillmarsh : 1",
                             "GET /x HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2"})
        EXPECT_FALSE(HttpHead::parse(head)) << head;
    EXPECT_FALSE(HttpHead::parse(std::string_view("GET /x HTTP/1.1\r\nA: v\0w", 24)));
}

TEST(HttpHead, NeverGivesAValueThatBreaksALine) {
    // A folded line is joined to the one before; it never brings a CR or LF
    // into a value that might be echoed into a reply.
    auto head = HttpHead::parse("GET /x HTTP/1.1\r\nOrigin: file\r\n Set-Cookie: x");
    if (head) {
        for (const auto& [name, value] : head->headers)
            EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos) << name;
    }
}

TEST(HttpHead, SurvivesRandomAndMutatedHeads) {
    // Bounded: a few seconds at most. Every head either parses into a
    // method, a non-empty target and line-safe headers, or is refused.
    std::mt19937 random(30);
    const std::string seeds[] = {
        "GET /status HTTP/1.1\r\nHost: 127.0.0.1:47806\r\nX-Quillmarsh: 1",
        "OPTIONS /monitor/?action=dim HTTP/1.1\r\nOrigin: null\r\nAccess-Control-Request-Headers: x-quillmarsh",
        "POST /x?a=1&a=2 HTTP/1.0\r\nContent-Length: 4\r\nTransfer-Encoding: chunked",
    };
    const std::string alphabet = "GETPOSOPTIONS /?&=%:\r\n\t 01aZ\x7f\x80\xff\xc3\xa9";
    int parsed = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string head;
        if (i % 4 == 0) {
            const size_t n = random() % 200;
            for (size_t k = 0; k < n; ++k)
                head += char(i % 8 == 0 ? random() % 256 : alphabet[random() % alphabet.size()]);
        } else {
            head = seeds[random() % 3];
            const int edits = 1 + int(random() % 4);
            for (int e = 0; e < edits && !head.empty(); ++e) {
                const size_t at = random() % head.size();
                switch (random() % 3) {
                    case 0: head[at] = char(random() % 256); break;
                    case 1: head.erase(at, 1 + random() % 8); break;
                    default: head.insert(at, 1, alphabet[random() % alphabet.size()]); break;
                }
            }
        }
        const auto result = HttpHead::parse(head);
        if (!result)
            continue;
        ++parsed;
        EXPECT_FALSE(result->method.empty());
        ASSERT_FALSE(result->target.empty()) << head;
        for (const auto& [name, value] : result->headers) {
            ASSERT_EQ(value.find_first_of("\r\n"), std::string::npos) << head;
            ASSERT_EQ(name.find_first_of("\r\n: "), std::string::npos) << head;
            for (char c : name)
                ASSERT_FALSE(c >= 'A' && c <= 'Z') << head;
        }
    }
    EXPECT_GT(parsed, 1000);  // the mutations reach the parser's accepting paths too
}
