// The request of a CGI process, for the request input and parameter tests: every request variable
// unset and the request state fresh around each test, and a body put in place the way the web
// server hands it over (POST_BODY_FILE).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "request/params.hpp"
#include "support/test_env.hpp"

namespace tarn::test {

using Text = std::optional<std::string>;

// Sets the variable `name` to `value`, or unsets it for nullopt.
inline void set(const char* name, const Text& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

// Every request variable unset, and fresh request state, around each test; POST_BODY_FILE, when
// set, names `body`.
class Request : public ::testing::Test {
protected:
    void SetUp() override { tarn::params::testing::reset_request(); }
    void TearDown() override { tarn::params::testing::reset_request(); }
    void post(const std::string& bytes, const char* method = "POST") {
        tarn::params::testing::reset_request();
        ::setenv("REQUEST_METHOD", method, 1);
        write_file(body, bytes);
        ::setenv("POST_BODY_FILE", body.c_str(), 1);
    }

    TempDir tmp;
    const std::string body = tmp.file("body");
    ScopedEnv env[6] = {{"REQUEST_METHOD", std::nullopt}, {"PATH_INFO", std::nullopt},
                        {"QUERY_STRING", std::nullopt},   {"CONTENT_TYPE", std::nullopt},
                        {"CONTENT_LENGTH", std::nullopt}, {"POST_BODY_FILE", std::nullopt}};
};

}  // namespace tarn::test
