// What the sign-in, consent and audit suites share: a clock standing where the test puts it, and
// the messages of server.log without their timestamps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "support/test_env.hpp"

namespace tarn::test {

// The clock seam at `now` while the object lives; tests move `now` instead of sleeping.
struct SetClock {
    static inline std::int64_t now = 0;
    explicit SetClock(std::int64_t t) {
        now = t;
        tarn::testing::set_clock([] { return now; });
    }
    SetClock(const SetClock&) = delete;
    SetClock& operator=(const SetClock&) = delete;
    ~SetClock() { tarn::testing::set_clock(nullptr); }
};

// The lines of server.log in `dir`, each checked for its "YYYY-MM-DD hh:mm:ss " stamp and given
// without it.
inline std::vector<std::string> log_messages(const std::string& dir) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    std::istringstream in(read_file(dir + "/server.log"));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(line.size() >= 20 && std::regex_match(line.substr(0, 20), stamp)) << line;
        out.push_back(line.size() >= 20 ? line.substr(20) : line);
    }
    return out;
}

}  // namespace tarn::test
