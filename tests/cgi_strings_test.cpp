// Bounded copies, path joins and escapers: every result fits, is terminated, and is cut only
// where the rules say.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tarn_cgi.h"

namespace {

// A buffer with a guard zone after the capacity, to catch writes at or past it.
struct Guarded {
    explicit Guarded(size_t cap) : cap(cap) { std::memset(buf, '#', sizeof buf); }
    bool guard_intact() const {
        for (size_t i = cap; i < sizeof buf; ++i) {
            if (buf[i] != '#') return false;
        }
        return true;
    }
    std::string str() const { return buf; }
    size_t cap;
    char buf[128];
};

}  // namespace

TEST(Strlcpy, CutsAndTerminates) {
    Guarded g(4);
    tarn_strlcpy(g.buf, "abcdef", g.cap);
    EXPECT_EQ(g.str(), "abc");
    EXPECT_TRUE(g.guard_intact());
    Guarded one(1);
    tarn_strlcpy(one.buf, "abcdef", 1);
    EXPECT_EQ(one.str(), "");
    EXPECT_TRUE(one.guard_intact());
    Guarded zero(0);
    tarn_strlcpy(zero.buf, "abcdef", 0);
    EXPECT_EQ(zero.buf[0], '#');
    Guarded null_src(8);
    tarn_strlcpy(null_src.buf, nullptr, 8);
    EXPECT_EQ(null_src.str(), "");
    tarn_strlcpy(nullptr, "x", 8);  // harmless
}

TEST(Snprintf, ReturnsFullLengthAndTerminates) {
    Guarded g(3);
    EXPECT_EQ(tarn_snprintf(g.buf, g.cap, "%s", "hello"), 5);
    EXPECT_EQ(g.str(), "he");
    EXPECT_TRUE(g.guard_intact());
    char buf[16];
    EXPECT_EQ(tarn_snprintf(buf, 0, "%d", 1), -1);
    EXPECT_EQ(tarn_snprintf(nullptr, 8, "%d", 1), -1);
    EXPECT_EQ(tarn_snprintf(buf, sizeof buf, "%d-%s", 42, "x"), 4);
    EXPECT_STREQ(buf, "42-x");
}

TEST(Rtrim, RemovesOnlyTabLfCrSpace) {
    char a[] = "ab \t\r\n";
    tarn_rtrim(a);
    EXPECT_STREQ(a, "ab");
    char b[] = "ab\v";
    tarn_rtrim(b);
    EXPECT_STREQ(b, "ab\v");
    char c[] = "  ";
    tarn_rtrim(c);
    EXPECT_STREQ(c, "");
    char d[] = " a b\f ";
    tarn_rtrim(d);
    EXPECT_STREQ(d, " a b\f");
    tarn_rtrim(nullptr);
}

TEST(PathJoin, SeparatorRules) {
    char buf[64];
    tarn_path_join(buf, sizeof buf, "data", "keys.json");
    EXPECT_STREQ(buf, "data/keys.json");
    tarn_path_join(buf, sizeof buf, "data/", "keys.json");
    EXPECT_STREQ(buf, "data/keys.json");
    tarn_path_join(buf, sizeof buf, "data\\", "keys.json");
    EXPECT_STREQ(buf, "data\\keys.json");
    tarn_path_join(buf, sizeof buf, "", "x");
    EXPECT_STREQ(buf, "x");
    tarn_path_join(buf, sizeof buf, nullptr, "x");
    EXPECT_STREQ(buf, "x");
    tarn_path_join(buf, sizeof buf, "data", nullptr);
    EXPECT_STREQ(buf, "data/");
    tarn_path_join(buf, sizeof buf, "data", "");
    EXPECT_STREQ(buf, "data/");
}

TEST(PathJoin, CutsAtCapacity) {
    Guarded g(10);
    tarn_path_join(g.buf, g.cap, "abcd", "keys.json");
    EXPECT_EQ(g.str(), "abcd/keys");
    EXPECT_TRUE(g.guard_intact());
    // The separator is added only when it and the NUL still fit.
    Guarded full(5);
    tarn_path_join(full.buf, full.cap, "abcd", "x");
    EXPECT_EQ(full.str(), "abcd");
    EXPECT_TRUE(full.guard_intact());
    Guarded sep_only(6);
    tarn_path_join(sep_only.buf, sep_only.cap, "abcd", "xyz");
    EXPECT_EQ(sep_only.str(), "abcd/");
    EXPECT_TRUE(sep_only.guard_intact());
}

TEST(HtmlEscape, BufferCutsOnlyAtWholeEntities) {
    char buf[64];
    html_escape("a<b", buf, 16);
    EXPECT_STREQ(buf, "a&lt;b");
    html_escape("abc", buf, 8);
    EXPECT_STREQ(buf, "");  // 0 + 8 is not below 8
    html_escape("abc", buf, 9);
    EXPECT_STREQ(buf, "a");
    Guarded g(14);
    html_escape("\"\"\"", g.buf, g.cap);  // after one &quot; (6), 6 + 8 >= 14 stops
    EXPECT_EQ(g.str(), "&quot;");
    EXPECT_TRUE(g.guard_intact());
    html_escape(nullptr, buf, sizeof buf);
    EXPECT_STREQ(buf, "");
}

TEST(HtmlEscape, DupHasExactSize) {
    char* a = html_escape_dup("abc");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "abc");
    std::free(a);
    char* b = html_escape_dup("\"&'<>");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "&quot;&amp;&#39;&lt;&gt;");
    std::free(b);
    char* c = html_escape_dup(nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "");
    std::free(c);
}

TEST(UrlEncode, UpperHexAndCapacity) {
    char buf[32];
    url_encode("a b~/", buf, sizeof buf);
    EXPECT_STREQ(buf, "a%20b~%2F");
    url_encode("abcdef", buf, 6);
    EXPECT_STREQ(buf, "ab");
    url_encode("-._~Az9\xff\x01", buf, sizeof buf);
    EXPECT_STREQ(buf, "-._~Az9%FF%01");
    Guarded g(7);
    url_encode("a/b", g.buf, g.cap);  // "a" (1), then 1 + 4 < 7 allows "%2F" (4), then stop
    EXPECT_EQ(g.str(), "a%2F");
    EXPECT_TRUE(g.guard_intact());
    url_encode(nullptr, buf, sizeof buf);
    EXPECT_STREQ(buf, "");
}

TEST(NameChecks, RepoNamesAndRefs) {
    EXPECT_EQ(tarn_valid_repo_name("my-repo_1.x"), 1);
    for (const char* bad : {"", "a/b", "a..b", "a b", "a:b"}) EXPECT_EQ(tarn_valid_repo_name(bad), 0) << bad;
    EXPECT_EQ(tarn_valid_repo_name(nullptr), 0);
    EXPECT_EQ(tarn_valid_ref("refs/heads/main"), 1);
    EXPECT_EQ(tarn_valid_ref("v1:2"), 1);
    for (const char* bad : {"", "a..b", "a b", "a\\b"}) EXPECT_EQ(tarn_valid_ref(bad), 0) << bad;
    EXPECT_EQ(tarn_valid_ref(nullptr), 0);
}
