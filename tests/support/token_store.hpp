// What the token store suites share: a data directory with the clock standing still, and tokens.json
// read back as text and as a document.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/clock.hpp"
#include "core/document.hpp"
#include "core/fileio.hpp"
#include "core/json_read.hpp"
#include "crypto/random.hpp"
#include "support/test_env.hpp"

namespace tarn::test {

inline std::int64_t g_token_clock = 0;
inline std::int64_t token_clock() { return g_token_clock; }

class TokenStoreTest : public ::testing::Test {
protected:
    static constexpr std::int64_t kNow = 1750000000;

    void SetUp() override {
        g_token_clock = kNow;
        tarn::testing::set_clock(&token_clock);
    }
    void TearDown() override {
        tarn::testing::set_clock(nullptr);
        tarn::crypto::testing::set_getrandom(nullptr);
        tarn::io_ops() = tarn::system_io();
    }
    static void at(std::int64_t t) { g_token_clock = t; }

    std::string path() const { return data.file("tokens.json"); }
    std::string text() const { return read_file(path()); }
    void write(const std::string& json) { write_file(path(), json); }
    // tokens.json parsed (Null when missing or invalid).
    Document doc() const {
        Document d;
        if (!parse_json(text(), d)) d.SetNull();
        return d;
    }
    // The root's member names in order, joined by ",".
    std::string root_members() const {
        Document d = doc();
        std::string names;
        if (d.IsObject())
            for (auto& m : d.GetObject()) names += (names.empty() ? "" : ",") + std::string(m.name.GetString());
        return names;
    }
    // `value` written compact, "<none>" when null.
    static std::string compact(const Value* value) {
        std::string out = "<none>";
        if (value) write_json(*value, false, out);
        return out;
    }

    DataDirFixture data;
};

// A generator that fails, for the "no randomness, nothing stored" rules.
inline ssize_t failing_getrandom(void*, std::size_t, unsigned) {
    errno = EIO;
    return -1;
}

inline bool base64url_text(const std::string& s) {
    return s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos;
}

}  // namespace tarn::test
