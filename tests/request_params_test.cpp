// The parameter lookup over the query string, a JSON body and a form body: which source answers,
// what a JSON body yields, that the body is read once per process, and the bounded copy.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "id_request.h"
#include "support/request_env.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::Request;
using tarn::test::set;
using tarn::test::Text;
using tarn::test::write_file;

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST_F(Request, ParameterLookup) {
    struct Case {
        const char* method;
        const char* content_type;
        Text query;
        std::string body;
        const char* name;
        std::string value;
    };
    const char* json = "application/json; charset=utf-8";
    const char* form = "application/x-www-form-urlencoded";
    const std::vector<Case> cases = {
        {"POST", json, std::nullopt, R"({"user":"ann","n":5})", "user", "ann"},
        {"POST", json, std::nullopt, R"({"user":"ann","n":5})", "n", ""},  // only strings are values
        {"POST", json, std::nullopt, R"({"user":5,"user":"bob"})", "user", ""},  // the first member decides
        {"POST", json, std::nullopt, R"({"a":{"user":"x"}})", "user", ""},     // top level only
        {"POST", json, std::nullopt, R"({"us\u0065r":"x+y%21"})", "user", "x+y%21"},  // not form-decoded
        {"POST", json, std::nullopt, R"({"j":")" + std::string(2000, 'j') + "\"}", "j", std::string(1023, 'j')},
        {"POST", json, std::nullopt, "user=ann", "user", "ann"},  // not JSON: read as a form
        {"POST", "Application/JSON", std::nullopt, R"({"user":"ann"})", "user", ""},
        {"POST", json, std::nullopt, std::string(100000, '['), "user", ""},  // nesting far too deep
        {"POST", form, std::nullopt, "user=ann&pw=a%26b", "pw", "a&b"},
        {"POST", form, std::nullopt, std::string("a=1\0&user=ann", 13), "user", "ann"},
        {"POST", form, "user=bob", "user=ann", "user", "bob"},  // the query first
        {"POST", form, "user=", "user=ann", "user", "ann"},     // an empty query value is absent
        {"GET", form, "x=1", "user=ann", "user", ""},           // only a POST has a body
        {"PUT", form, std::nullopt, "user=ann", "user", ""},
        {"POST", form, std::nullopt, std::string(kMiB - 4, '&') + "u=ok", "u", "ok"},
        {"POST", form, std::nullopt, std::string(kMiB - 3, '&') + "u=ok", "u", ""},  // over 1 MiB: no body
    };
    ::setenv("CONTENT_LENGTH", "8", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.content_type + " " + c.body.substr(0, 40) + " / " + c.name);
        post(c.body, c.method);
        ::setenv("CONTENT_TYPE", c.content_type, 1);
        set("QUERY_STRING", c.query);
        EXPECT_EQ(std::string(id_param(c.name)), c.value);
        EXPECT_EQ(std::string(id_param(c.name)), c.value) << "asked again";
    }
}

TEST_F(Request, BodyIsReadOncePerProcess) {
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("POST_BODY_FILE", body.c_str(), 1);
    EXPECT_STREQ(id_param("user"), "");
    write_file(body, "user=ann");
    EXPECT_STREQ(id_param("user"), "") << "a failed read is not retried";
    post("user=ann");
    EXPECT_STREQ(id_param("user"), "ann");
    write_file(body, "user=bob");
    EXPECT_STREQ(id_param("user"), "ann");
}

TEST_F(Request, BoundedParameterCopy) {
    post("v=" + std::string(20, 't'));
    ::setenv("QUERY_STRING", "q=from+query", 1);
    struct Case {
        const char* name;
        bool null_dst;
        std::size_t cap;
        int result;
        std::string dst;  // "###": untouched
    };
    for (const Case& c : std::vector<Case>{{"v", false, 21, 0, std::string(20, 't')}, {"v", false, 20, -1, "###"},
                                           {"v", true, 21, -1, "###"}, {"v", false, 0, -1, "###"},
                                           {"absent", false, 1, 0, ""}, {"q", false, 11, 0, "from query"}}) {
        char dst[32] = "###";
        EXPECT_EQ(id_param_copy(c.name, c.null_dst ? nullptr : dst, c.cap), c.result) << c.name << " " << c.cap;
        EXPECT_EQ(std::string(dst), c.dst) << c.name << " " << c.cap;
    }
    post("", "GET");  // a GET has no body, and a query value is still copied
    char dst[32] = "###";
    EXPECT_EQ(id_param_copy("q", dst, sizeof dst), 0);
    EXPECT_STREQ(dst, "from query");
}

}  // namespace
