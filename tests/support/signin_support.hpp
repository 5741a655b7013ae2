// What the sign-in, consent and audit suites share: a clock standing where the test puts it, the
// sign-in stores as they are written, and the messages of server.log without their timestamps.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/clock.hpp"
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

// A begun attempt's marker in a record's "pending": the process, when, the record as it left it.
struct Marker {
    std::int64_t pid, ts, count, strikes, locked_until;
    std::string ip;
};
// A record of login_attempts.json.
struct Rec {
    std::string name;
    std::int64_t count, strikes, locked_until, last_ts;
    std::vector<Marker> pending = {};
};
// A failure in login_attempts_ip.json; `pid` names the process of a begun attempt (0: none).
struct Hit {
    std::int64_t ts;
    std::string ip;
    std::int64_t pid = 0;
};

// login_attempts.json holding `recs` in order, as the store writes it.
inline std::string attempts_json(const std::vector<Rec>& recs) {
    const auto n = [](std::int64_t v) { return std::to_string(v); };
    std::string s = "{";
    for (const Rec& r : recs) {
        s += (s.size() > 1 ? ",\n    \"" : "\n    \"") + r.name + "\": {\n        \"count\": " + n(r.count) +
             ",\n        \"strikes\": " + n(r.strikes) + ",\n        \"locked_until\": " + n(r.locked_until) +
             ",\n        \"last_ts\": " + n(r.last_ts);
        for (std::size_t i = 0; i < r.pending.size(); ++i) {
            const Marker& m = r.pending[i];
            s += std::string(i ? "," : ",\n        \"pending\": [") + "\n            {\n                \"pid\": " + n(m.pid) +
                 ",\n                \"ts\": " + n(m.ts) + ",\n                \"count\": " + n(m.count) +
                 ",\n                \"strikes\": " + n(m.strikes) + ",\n                \"locked_until\": " +
                 n(m.locked_until) + ",\n                \"ip\": \"" + m.ip + "\"\n            }";
        }
        s += std::string(r.pending.empty() ? "" : "\n        ]") + "\n    }";
    }
    return s + (recs.empty() ? "}" : "\n}");
}

// login_attempts_ip.json holding `hits` in order, as the store writes it.
inline std::string budget_json(const std::vector<Hit>& hits) {
    std::string s = "[";
    for (const Hit& h : hits)
        s += (s.size() > 1 ? ",\n" : "\n") + std::string("    {\n        \"ts\": ") + std::to_string(h.ts) +
             ",\n        \"ip\": \"" + h.ip + "\"" + (h.pid ? ",\n        \"pid\": " + std::to_string(h.pid) : "") +
             "\n    }";
    return s + (hits.empty() ? "]" : "\n]");
}

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
