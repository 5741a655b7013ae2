// CGI request input: the environment readers, query and form decoding (one set of rules, seen
// through the query lookup and the parameter lookup of a form body), the slot rings' lifetime,
// and the body from a file, a pipe or standard input (with the CONTENT_LENGTH texts a server or an
// attacker may send).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "id_request.h"
#include "support/process.hpp"
#include "support/request_env.hpp"
#include "support/test_env.hpp"
#include "tarn_cgi.h"

namespace {

using tarn::test::Request;
using tarn::test::set;
using tarn::test::Text;
using tarn::test::write_file;

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST_F(Request, EnvironmentReaders) {
    struct Case {
        Text value;
        std::string env, method, path_info;
        int is_post;
    };
    for (const Case& c : std::vector<Case>{{std::nullopt, "fb", "GET", "/", 0}, {"", "fb", "GET", "/", 0},
                                           {"POST", "POST", "POST", "POST", 1}, {"POSTX", "POSTX", "POSTX", "POSTX", 1},
                                           {"post", "post", "post", "post", 0}, {"PUT", "PUT", "PUT", "PUT", 0}}) {
        SCOPED_TRACE(c.value.value_or("<unset>"));
        set("REQUEST_METHOD", c.value);
        set("PATH_INFO", c.value);
        EXPECT_STREQ(cgi_env("REQUEST_METHOD", "fb"), c.env.c_str());
        EXPECT_STREQ(cgi_method(), c.method.c_str());
        EXPECT_STREQ(cgi_path_info(), c.path_info.c_str());
        EXPECT_EQ(cgi_is_post(), c.is_post);
    }
    EXPECT_STREQ(cgi_env("NO_SUCH_VARIABLE", nullptr), "");
}

// One set of decoding rules for the query string (cut at 4095 bytes) and a form body (1023).
TEST_F(Request, QueryAndFormDecoding) {
    struct Case {
        std::string encoded, name, value;
        std::size_t cut_in_form = std::string::npos;
    };
    const std::vector<Case> cases = {
        {"a=1&b=x+y%21&c", "b", "x y!"},
        {"a=1&b=x+y%21&c", "c", ""},  // no "=": an empty value
        {"a=1&b=x+y%21&c", "d", ""},
        {"a=%zz%4", "a", "%zz%4"},  // bad digits and a cut escape stay as they are
        {"a=%%41&b=1", "a", "%A"},
        {"a=1%2&b=3", "a", "1%2"},  // an escape's digits must be inside the value
        {"a=%41%4a%6B", "a", "AJk"},
        {"ab=1&a=2", "a", "2"},  // keys match by their exact length
        {"a=1&a=2", "a", "1"},   // the first match wins
        {"a%20b=1", "a b", ""},  // keys are not decoded
        {"&&a=x=y&", "a", "x=y"},
        {"a=x%00y", "a", "x"},  // a decoded NUL ends the value
        {"=x", "", ""},         // no parameter has an empty name
        {"a=" + std::string(5000, '+'), "a", std::string(4095, ' '), 1023},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoded.substr(0, 40) + " / " + c.name);
        ::setenv("QUERY_STRING", c.encoded.c_str(), 1);
        EXPECT_EQ(std::string(cgi_query(c.name.c_str())), c.value);
        ::unsetenv("QUERY_STRING");
        post(c.encoded);
        EXPECT_EQ(std::string(id_param(c.name.c_str())), c.value.substr(0, c.cut_in_form));
    }
}

// A result stays valid through the next seven lookups of its kind; the eighth reuses its slot.
TEST_F(Request, ResultSlotsLiveForSevenMoreLookups) {
    std::string encoded;
    for (int i = 0; i < 9; ++i) encoded += "p" + std::to_string(i) + "=v" + std::to_string(i) + "&";
    post(encoded);
    ::setenv("QUERY_STRING", encoded.c_str(), 1);
    for (auto lookup : {&cgi_query, &id_param}) {
        std::vector<const char*> results;
        for (int i = 0; i < 8; ++i) results.push_back(lookup(("p" + std::to_string(i)).c_str()));
        for (int i = 0; i < 8; ++i) EXPECT_EQ(std::string(results[i]), "v" + std::to_string(i)) << i;
        EXPECT_STREQ(lookup("absent"), "");  // the ninth lookup takes and clears the first slot
        EXPECT_STREQ(results[0], "");
        EXPECT_STREQ(results[1], "v1");
        ::unsetenv("QUERY_STRING");  // the second round reaches the body's form slots
    }
}

enum class Source { none, file, missing_file, directory, pipe };

// What cgi_read_post gives in a child process whose standard input holds `input` and whose
// POST_BODY_FILE is `source` with `content`: "null len=N", or "len=N:" and the body with its NUL.
std::string read_post_in_child(Source source, const std::string& path, const std::string& content,
                               const std::string& input) {
    return tarn::test::capture_stdout([&] {
               FILE* in = std::tmpfile();
               std::fwrite(input.data(), 1, input.size(), in);
               std::rewind(in);
               ::dup2(::fileno(in), STDIN_FILENO);
               int fds[2] = {-1, -1};
               std::thread writer;
               if (source == Source::file) write_file(path, content);
               if (source == Source::directory) std::filesystem::create_directory(path);
               if (source == Source::pipe && ::pipe(fds) == 0) {
                   writer = std::thread([&] {
                       if (::write(fds[1], content.data(), content.size()) < 0) std::perror("write");
                       ::close(fds[1]);
                   });
               }
               const std::string named = source == Source::pipe ? "/dev/fd/" + std::to_string(fds[0]) : path;
               set("POST_BODY_FILE", source == Source::none ? Text() : Text(named));
               std::uint64_t len = 99;
               char* body = cgi_read_post(&len);
               if (writer.joinable()) writer.join();
               std::printf(body ? "len=%llu:" : "null len=%llu", static_cast<unsigned long long>(len));
               if (body) std::fwrite(body, 1, len + 1, stdout);
               std::free(body);
           })
        .out;
}

std::string body_of(const std::string& bytes) {
    return "len=" + std::to_string(bytes.size()) + ":" + bytes + std::string(1, '\0');
}

TEST_F(Request, BodyFromFileOrStandardInput) {
    struct Case {
        const char* what;
        Source source;
        std::string content;
        Text length;
        std::string input, expected;
    };
    const std::string mib(kMiB, 'b');
    const std::string nuls("x\0y\0", 4);
    const std::vector<Case> cases = {
        {"the file, whatever CONTENT_LENGTH says", Source::file, "a=1&b=2", "3", "zzz", body_of("a=1&b=2")},
        {"NUL bytes count", Source::file, nuls, std::nullopt, "", body_of(nuls)},
        {"an empty file", Source::file, "", "5", "hello", body_of("")},
        {"a file of 1 MiB", Source::file, mib, std::nullopt, "", body_of(mib)},
        {"a file over 1 MiB is refused", Source::file, mib + "!", std::nullopt, "", "null len=0"},
        {"a pipe", Source::pipe, std::string(200000, 'p'), std::nullopt, "", body_of(std::string(200000, 'p'))},
        {"a pipe over 1 MiB is refused", Source::pipe, mib + "!", std::nullopt, "", "null len=0"},
        {"a directory cannot be read", Source::directory, "", "5", "hello", "null len=0"},
        {"a missing file: standard input", Source::missing_file, "", "5", "hello world", body_of("hello")},
        {"input shorter than stated", Source::none, "", "20", "short", body_of("short")},
        {"the largest length", Source::none, "", "1048576", "tiny", body_of("tiny")},
        {"leading zeros", Source::none, "", "0003", std::string(4, '\0'), body_of(std::string(3, '\0'))},
        {"no CONTENT_LENGTH", Source::none, "", std::nullopt, "hello", "null len=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(body);
        set("CONTENT_LENGTH", c.length);
        EXPECT_EQ(read_post_in_child(c.source, body, c.content, c.input), c.expected);
    }
    for (const char* bad : {"", "0", "-5", "abc", "12abc", " 5", "5 ", "+5", "0x10", "1048577",
                            "18446744073709551621"}) {
        ::setenv("CONTENT_LENGTH", bad, 1);
        EXPECT_EQ(read_post_in_child(Source::none, body, "", std::string(64, 'x')), "null len=0") << bad;
    }
}

}  // namespace
