// What the token store suites share: a data directory with the clock standing still, and tokens.json
// read back as text, as a document, and compact with random identifiers shown as letters.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/random.hpp"
#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "foundation/json_read.hpp"
#include "support/test_env.hpp"

namespace tarn::test {

inline std::int64_t g_token_clock = 0;
inline std::int64_t token_clock() { return g_token_clock; }

class TokenStoreTest : public ::testing::Test {
protected:
    static constexpr std::int64_t kNow = 1750000000;

    void SetUp() override {
        at(kNow);
        tarn::testing::set_clock(&token_clock);
    }
    void TearDown() override {
        tarn::testing::set_clock(nullptr);
        tarn::crypto::testing::set_getrandom(nullptr);
    }
    static void at(std::int64_t t) { g_token_clock = t; }

    std::string path() const { return data.file("tokens.json"); }
    std::string text() const { return read_file(path()); }
    void write(const std::string& json) { write_file(path(), json); }
    Document doc() const {  // Null when missing or invalid
        Document d;
        if (!parse_json(text(), d)) d.SetNull();
        return d;
    }
    static std::string compact(const Value* value) {
        std::string out = "<none>";
        if (value) write_json(*value, false, out);
        return out;
    }
    // tokens.json compact, with ids[0] written as "A", ids[1] as "B", ...
    std::string shown(const std::vector<std::string>& ids) const {
        const Document d = doc();
        std::string s = compact(&d);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const std::string quoted = '"' + ids[i] + '"', name = {'"', static_cast<char>('A' + i), '"'};
            for (std::size_t at = 0; (at = s.find(quoted, at)) != std::string::npos;) s.replace(at, quoted.size(), name);
        }
        return s;
    }

    DataDirFixture data;
};

inline ssize_t failing_getrandom(void*, std::size_t, unsigned) {
    errno = EIO;
    return -1;
}

inline bool base64url_text(const std::string& s) {
    return s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos;
}

}  // namespace tarn::test
