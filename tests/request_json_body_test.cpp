// Request parameters from a JSON body: a parameter the JSON object does not hold must not be found
// in the text of the object's other values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "id_request.h"
#include "request/params.hpp"
#include "support/test_env.hpp"

namespace {

class JsonBody : public ::testing::Test {
protected:
    void SetUp() override { tarn::params::testing::reset_request(); }
    void TearDown() override { tarn::params::testing::reset_request(); }
    void post_json(const std::string& bytes) {
        tarn::params::testing::reset_request();
        ::setenv("REQUEST_METHOD", "POST", 1);
        ::setenv("CONTENT_TYPE", "application/json", 1);
        tarn::test::write_file(body, bytes);
        ::setenv("POST_BODY_FILE", body.c_str(), 1);
    }

    tarn::test::TempDir tmp;
    const std::string body = tmp.file("body");
    tarn::test::ScopedEnv env[5] = {{"REQUEST_METHOD", std::nullopt},
                                    {"QUERY_STRING", std::nullopt},
                                    {"CONTENT_TYPE", std::nullopt},
                                    {"CONTENT_LENGTH", std::nullopt},
                                    {"POST_BODY_FILE", std::nullopt}};
};

// A JSON object is one encoding of the parameters: what a filter in front of the program (or the
// program's own logging) sees in it is what the program must read. Scanning the object's raw text
// as a form finds "name=value" inside any string, so a body whose only members are a note and a
// number still yields role=admin.
TEST_F(JsonBody, ParametersAreNeverReadFromInsideJsonStrings) {
    struct Case {
        const char* what;
        std::string body;
        const char* name;
    } cases[] = {
        {"a member the object does not hold", R"({"note":"&role=admin&"})", "role"},
        {"a member holding a number", R"({"role":5,"note":"&role=admin&"})", "role"},
        {"a member holding an object", R"({"role":{"x":1},"note":"x&role=admin"})", "role"},
        {"a key that holds the text", R"({"&role=admin&":"x"})", "role"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        post_json(c.body);
        EXPECT_STREQ(id_param(c.name), "");
    }
}

}  // namespace
