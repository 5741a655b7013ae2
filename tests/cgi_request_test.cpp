// Request input: the environment readers, query and form decoding, the slot rings' lifetime, the
// body read from a file, a pipe or standard input (with every CONTENT_LENGTH a server or an
// attacker may send), and the parameter lookup over query, JSON body and form body.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/params.hpp"
#include "identity_common.h"
#include "support/process.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::ScopedEnv;
using tarn::test::TempDir;
using tarn::test::write_file;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Every request variable unset, and fresh request state, around each test.
class Request : public ::testing::Test {
protected:
    void SetUp() override { tarn::params::testing::reset_request(); }
    void TearDown() override { tarn::params::testing::reset_request(); }

    TempDir tmp;
    ScopedEnv method{"REQUEST_METHOD", std::nullopt}, path{"PATH_INFO", std::nullopt},
        query{"QUERY_STRING", std::nullopt}, type{"CONTENT_TYPE", std::nullopt},
        length{"CONTENT_LENGTH", std::nullopt}, body_file{"POST_BODY_FILE", std::nullopt};
};

void set(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

TEST_F(Request, EnvironmentReaders) {
    struct Case {
        std::optional<std::string> value;
        std::string env, method, path_info;
        int is_post;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "fallback", "GET", "/", 0},
        {"", "fallback", "GET", "/", 0},
        {"POST", "POST", "POST", "POST", 1},
        {"POSTX", "POSTX", "POSTX", "POSTX", 1},
        {"PO", "PO", "PO", "PO", 1},
        {"post", "post", "post", "post", 0},
        {"PUT", "PUT", "PUT", "PUT", 0},
        {"P", "P", "P", "P", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.value_or("<unset>"));
        set("REQUEST_METHOD", c.value);
        set("PATH_INFO", c.value);
        EXPECT_STREQ(cgi_env("REQUEST_METHOD", "fallback"), c.env.c_str());
        EXPECT_STREQ(cgi_method(), c.method.c_str());
        EXPECT_STREQ(cgi_path_info(), c.path_info.c_str());
        EXPECT_EQ(cgi_is_post(), c.is_post);
    }
    ::unsetenv("PATH_INFO");
    EXPECT_STREQ(cgi_env("PATH_INFO", nullptr), "");
    EXPECT_STREQ(cgi_env(nullptr, "fb"), "fb");
}

// The decoding rules, through cgi_query (query string) and id_param on a form body.
TEST_F(Request, QueryAndFormDecoding) {
    struct Case {
        std::string encoded, name, value;
    };
    const std::vector<Case> cases = {
        {"a=1&b=x+y%21&c", "b", "x y!"},
        {"a=1&b=x+y%21&c", "c", ""},  // no "=": an empty value
        {"a=1&b=x+y%21&c", "d", ""},
        {"a=%zz%4", "a", "%zz%4"},  // bad digits and a cut escape stay as they are
        {"a=%", "a", "%"},
        {"a=%%41", "a", "%A"},
        {"a=1%2&b=3", "a", "1%2"},  // the escape's digits must be inside the value
        {"a=%41%42%4a%6B", "a", "ABJk"},
        {"ab=1&a=2", "a", "2"},  // keys match by their exact length
        {"a=1&a=2", "a", "1"},   // the first match wins
        {"a%20b=1", "a b", ""},  // keys are not decoded
        {"A=1", "a", ""},        // nor folded
        {"&&a=1&", "a", "1"},
        {"a=x=y", "a", "x=y"},
        {"a=x%00y", "a", "x"},  // a decoded NUL ends the value
        {"=x", "", ""},         // no parameter has an empty name
        {"a=%F0%9F%98%80", "a", "\xF0\x9F\x98\x80"},
    };
    ::setenv("REQUEST_METHOD", "POST", 1);
    const std::string file = tmp.file("body");
    ::setenv("POST_BODY_FILE", file.c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoded + " / " + c.name);
        ::setenv("QUERY_STRING", c.encoded.c_str(), 1);
        EXPECT_EQ(std::string(cgi_query(c.name.c_str())), c.value);
        ::unsetenv("QUERY_STRING");
        tarn::params::testing::reset_request();
        write_file(file, c.encoded);
        EXPECT_EQ(std::string(id_param(c.name.c_str())), c.value);
    }
}

TEST_F(Request, LongValuesAreCutToTheirSlot) {
    ::setenv("QUERY_STRING", ("a=" + std::string(5000, 'q')).c_str(), 1);
    EXPECT_EQ(std::string(cgi_query("a")), std::string(4095, 'q'));
    ::setenv("QUERY_STRING", ("a=" + std::string(5000, '+')).c_str(), 1);
    EXPECT_EQ(std::string(cgi_query("a")), std::string(4095, ' '));
    ::unsetenv("QUERY_STRING");
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_TYPE", "application/json", 1);
    write_file(tmp.file("body"), "{\"j\":\"" + std::string(2000, 'j') + "\"}");
    ::setenv("POST_BODY_FILE", tmp.file("body").c_str(), 1);
    EXPECT_EQ(std::string(id_param("j")), std::string(1023, 'j'));
    tarn::params::testing::reset_request();
    write_file(tmp.file("body"), "f=" + std::string(2000, 'f'));
    EXPECT_EQ(std::string(id_param("f")), std::string(1023, 'f'));
}

// A result stays valid through the next seven lookups of its kind; the eighth reuses its slot.
TEST_F(Request, ResultSlotsLiveForSevenMoreLookups) {
    std::string encoded;
    for (int i = 0; i < 9; ++i) encoded += "p" + std::to_string(i) + "=v" + std::to_string(i) + "&";
    ::setenv("QUERY_STRING", encoded.c_str(), 1);
    ::setenv("REQUEST_METHOD", "POST", 1);
    write_file(tmp.file("body"), encoded);
    ::setenv("POST_BODY_FILE", tmp.file("body").c_str(), 1);

    for (auto lookup : {&cgi_query, &id_param}) {
        std::vector<const char*> results;
        for (int i = 0; i < 8; ++i) results.push_back(lookup(("p" + std::to_string(i)).c_str()));
        for (int i = 0; i < 8; ++i) EXPECT_EQ(std::string(results[i]), "v" + std::to_string(i)) << i;
        // The ninth lookup (of a parameter that is absent) takes and clears the first one's slot.
        EXPECT_STREQ(lookup("absent"), "");
        EXPECT_STREQ(results[0], "");
        EXPECT_STREQ(results[1], "v1");
        ::unsetenv("QUERY_STRING");  // the second round reaches the body's form slots
    }
}

// Prints what cgi_read_post gave: "null len=N", or "len=N:" and the body with the NUL after it.
void print_body(const char* body, std::uint64_t len) {
    if (!body) {
        std::printf("null len=%llu", static_cast<unsigned long long>(len));
        return;
    }
    std::printf("len=%llu:", static_cast<unsigned long long>(len));
    std::fwrite(body, 1, len + 1, stdout);
}

// What cgi_read_post gives in a child process whose standard input is `input`.
std::string read_post_in_child(const std::string& input) {
    return tarn::test::capture_stdout([&] {
               FILE* in = std::tmpfile();
               std::fwrite(input.data(), 1, input.size(), in);
               std::rewind(in);
               ::dup2(::fileno(in), STDIN_FILENO);
               std::uint64_t len = 99;
               char* body = cgi_read_post(&len);
               print_body(body, len);
               std::free(body);
           })
        .out;
}

std::string body_of(const std::string& bytes) {
    return "len=" + std::to_string(bytes.size()) + ":" + bytes + std::string(1, '\0');
}

TEST_F(Request, BodyFromFileOrStandardInput) {
    enum Source { kNoFile, kEmptyName, kFile, kMissingFile, kDirectory, kPipe };
    struct Case {
        const char* what;
        Source source;
        std::string file;  // the file's or the pipe's content
        std::optional<std::string> content_length;
        std::string input;  // standard input
        std::string expected;
    };
    const std::string big(kMiB, 'b');
    const std::string nuls("x\0y\0", 4);
    const std::vector<Case> cases = {
        {"the file, whole, whatever CONTENT_LENGTH says", kFile, "a=1&b=2", "3", "zzz", body_of("a=1&b=2")},
        {"NUL bytes count", kFile, nuls, std::nullopt, "", body_of(nuls)},
        {"an empty file", kFile, "", "5", "hello", body_of("")},
        {"a file of 1 MiB", kFile, big, std::nullopt, "", body_of(big)},
        {"a file over 1 MiB is refused", kFile, big + "!", std::nullopt, "", "null len=0"},
        {"a pipe, read in blocks", kPipe, std::string(200000, 'p'), std::nullopt, "", body_of(std::string(200000, 'p'))},
        {"a pipe over 1 MiB is refused", kPipe, big + "!", std::nullopt, "", "null len=0"},
        {"a directory cannot be read", kDirectory, "", "5", "hello", "null len=0"},
        {"a missing file: standard input", kMissingFile, "", "5", "hello world", body_of("hello")},
        {"an empty name: standard input", kEmptyName, "", "5", "hello world", body_of("hello")},
        {"input shorter than stated", kNoFile, "", "20", "short", body_of("short")},
        {"the largest length", kNoFile, "", "1048576", "tiny", body_of("tiny")},
        {"NUL bytes from standard input", kNoFile, "", "3", std::string(3, '\0'), body_of(std::string(3, '\0'))},
        {"no CONTENT_LENGTH", kNoFile, "", std::nullopt, "hello", "null len=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        set("CONTENT_LENGTH", c.content_length);
        const std::string file = tmp.file("body");
        std::filesystem::remove_all(file);
        switch (c.source) {
            case kNoFile: ::unsetenv("POST_BODY_FILE"); break;
            case kEmptyName: ::setenv("POST_BODY_FILE", "", 1); break;
            case kFile: write_file(file, c.file); [[fallthrough]];
            case kMissingFile: ::setenv("POST_BODY_FILE", file.c_str(), 1); break;
            case kDirectory:
                std::filesystem::create_directory(file);
                ::setenv("POST_BODY_FILE", file.c_str(), 1);
                break;
            case kPipe: break;
        }
        if (c.source != kPipe) {
            EXPECT_EQ(read_post_in_child(c.input), c.expected);
            continue;
        }
        const std::string out = tarn::test::capture_stdout([&] {
            int fds[2];
            if (::pipe(fds) != 0) std::_Exit(2);
            std::thread writer([&] {
                ::write(fds[1], c.file.data(), c.file.size());  // stops early once the reader gives up
                ::close(fds[1]);
            });
            ::setenv("POST_BODY_FILE", ("/dev/fd/" + std::to_string(fds[0])).c_str(), 1);
            std::uint64_t len = 99;
            char* body = cgi_read_post(&len);
            ::close(fds[0]);
            writer.join();
            print_body(body, len);
            std::free(body);
        }).out;
        EXPECT_EQ(out, c.expected);
    }
}

TEST_F(Request, ContentLengthIsDigitsUpTo1MiB) {
    for (const char* bad : {"", "0", "-5", "abc", "12abc", " 5", "5 ", "+5", "0x10", "1048577",
                            "99999999999999999999999999", "18446744073709551621"}) {
        SCOPED_TRACE(bad);
        ::setenv("CONTENT_LENGTH", bad, 1);
        EXPECT_EQ(read_post_in_child(std::string(64, 'x')), "null len=0");
    }
    ::setenv("CONTENT_LENGTH", "000004", 1);
    EXPECT_EQ(read_post_in_child("abcdef"), body_of("abcd"));
}

TEST_F(Request, ParameterLookup) {
    struct Case {
        const char* method;
        const char* content_type;
        const char* query;
        std::string body;
        const char* name;
        std::string value;
    };
    const char* json = "application/json; charset=utf-8";
    const char* form = "application/x-www-form-urlencoded";
    const std::vector<Case> cases = {
        {"POST", json, nullptr, R"({"user":"ann","n":5})", "user", "ann"},
        {"POST", json, nullptr, R"({"user":"ann","n":5})", "n", ""},  // only strings are values
        {"POST", json, nullptr, R"({"user":"ann","user":"bob"})", "user", "ann"},
        {"POST", json, nullptr, R"({"user":5,"user":"bob"})", "user", ""},  // the first member decides
        {"POST", json, nullptr, R"({"a":{"user":"x"}})", "user", ""},     // top level only
        {"POST", json, nullptr, R"({"us\u0065r":"x+y%21"})", "user", "x+y%21"},  // JSON is not form-decoded
        {"POST", json, nullptr, R"({"user":"a\u0000b"})", "user", "a"},
        {"POST", json, nullptr, "user=ann", "user", "ann"},          // not JSON: read as a form
        {"POST", "Application/JSON", nullptr, R"({"user":"ann"})", "user", ""},
        {"POST", json, nullptr, std::string(100000, '['), "user", ""},  // nesting far too deep
        {"POST", form, nullptr, "user=ann&pw=a%26b", "pw", "a&b"},
        {"POST", form, nullptr, std::string("a=1\0&user=ann", 13), "user", "ann"},
        {"POST", form, "user=bob", "user=ann", "user", "bob"},  // the query first
        {"POST", form, "user=", "user=ann", "user", "ann"},     // an empty query value is absent
        {"GET", form, "x=1", "user=ann", "user", ""},           // only a POST has a body
        {"PUT", form, nullptr, "user=ann", "user", ""},
        {"POST", form, nullptr, "", "user", ""},
        {"POST", form, nullptr, std::string(kMiB - 4, '&') + "u=ok", "u", "ok"},
        {"POST", form, nullptr, std::string(kMiB - 3, '&') + "u=ok", "u", ""},  // over 1 MiB: no body
    };
    const std::string file = tmp.file("body");
    ::setenv("POST_BODY_FILE", file.c_str(), 1);
    ::setenv("CONTENT_LENGTH", "8", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.content_type + " " + c.body.substr(0, 40) + " / " + c.name);
        tarn::params::testing::reset_request();
        ::setenv("REQUEST_METHOD", c.method, 1);
        ::setenv("CONTENT_TYPE", c.content_type, 1);
        set("QUERY_STRING", c.query ? std::optional<std::string>(c.query) : std::nullopt);
        write_file(file, c.body);
        EXPECT_EQ(std::string(id_param(c.name)), c.value);
        EXPECT_EQ(std::string(id_param(c.name)), c.value) << "asked again";
    }
}

TEST_F(Request, BodyIsReadOncePerProcess) {
    ::setenv("REQUEST_METHOD", "POST", 1);
    const std::string file = tmp.file("body");
    ::setenv("POST_BODY_FILE", file.c_str(), 1);
    EXPECT_STREQ(id_param("user"), "") << "no body yet, and a failed read is not retried";
    write_file(file, "user=ann");
    EXPECT_STREQ(id_param("user"), "");

    tarn::params::testing::reset_request();
    EXPECT_STREQ(id_param("user"), "ann");
    write_file(file, "user=bob");
    EXPECT_STREQ(id_param("user"), "ann");
}

TEST_F(Request, BoundedParameterCopy) {
    const std::string twenty(20, 't');
    ::setenv("REQUEST_METHOD", "POST", 1);
    write_file(tmp.file("body"), "v=" + twenty);
    ::setenv("POST_BODY_FILE", tmp.file("body").c_str(), 1);
    ::setenv("QUERY_STRING", "q=from+query", 1);
    struct Case {
        const char* name;
        bool null_dst;
        std::size_t cap;
        int result;
        std::string dst;  // after the call; "#..." is the untouched buffer
    };
    const std::vector<Case> cases = {
        {"v", false, 21, 0, twenty},
        {"v", false, 20, -1, "###"},
        {"v", true, 21, -1, "###"},
        {"v", false, 0, -1, "###"},
        {"absent", false, 1, 0, ""},
        {"q", false, 11, 0, "from query"},
        {"q", false, 10, -1, "###"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " cap " + std::to_string(c.cap));
        char dst[32] = "###";
        EXPECT_EQ(id_param_copy(c.name, c.null_dst ? nullptr : dst, c.cap), c.result);
        EXPECT_EQ(std::string(dst), c.dst);
    }
    // A GET has no body, and a query value is still copied.
    tarn::params::testing::reset_request();
    ::setenv("REQUEST_METHOD", "GET", 1);
    char dst[32] = "###";
    EXPECT_EQ(id_param_copy("q", dst, sizeof dst), 0);
    EXPECT_STREQ(dst, "from query");
}

}  // namespace
