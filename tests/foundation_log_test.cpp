// The security edge: server.log lines (local time, control bytes escaped) and the client address.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "foundation/clock.hpp"
#include "id_foundation.h"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::read_file;
using tarn::test::ScopedEnv;
using tarn::test::ScopedTimeZone;

std::int64_t g_now = 0;
std::int64_t test_clock() { return g_now; }

constexpr std::int64_t kJan2 = 1704164645;  // 2024-01-02 03:04:05 UTC

class SecurityEdge : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = kJan2;
        tarn::testing::set_clock(&test_clock);
    }
    void TearDown() override { tarn::testing::set_clock(nullptr); }
    std::string take_log() {
        const std::string log = read_file(data.file("server.log"));
        std::remove(data.file("server.log").c_str());
        return log;
    }
    DataDirFixture data;
};

TEST_F(SecurityEdge, LogLinesCarryTheLocalTimeAndEscapeControlBytes) {
    const struct {
        const char* tz;
        std::int64_t now;
        const char* stamp;
    } zones[] = {
        {"UTC", kJan2, "2024-01-02 03:04:05 "},
        {"XYZ-2", kJan2, "2024-01-02 05:04:05 "},
        {"XYZ+5", 0, "1969-12-31 19:00:00 "},
        {"UTC", 4102444799, "2099-12-31 23:59:59 "},
    };
    for (const auto& z : zones) {
        SCOPED_TRACE(z.tz);
        ScopedTimeZone tz(z.tz);
        g_now = z.now;
        id_log_line("x=%d", 5);
        EXPECT_EQ(take_log(), std::string(z.stamp) + "x=5\n");
    }
    ScopedTimeZone utc("UTC");
    g_now = kJan2;
    id_log_line("user %s!", "a\nb\r\x01\x1b\x7f\tc\xc3\xa9 \\x0a");
    id_log_line("%s", "");
    // The backslash is escaped too, so that the text "\x0a" and a line feed log differently.
    EXPECT_EQ(take_log(), "2024-01-02 03:04:05 user a\\x0ab\\x0d\\x01\\x1b\\x7f\\x09c\xc3\xa9 \\x5cx0a!\n"
                          "2024-01-02 03:04:05 \n");
    id_log_line("x");
    EXPECT_EQ(tarn::test::file_mode(data.file("server.log")), 0600u);

    // A log that cannot be opened (its directory cannot exist) drops the line; the caller goes on.
    tarn::test::write_file(data.file("plain"), "");
    {
        ScopedEnv elsewhere("IDENTITY_DATA_DIR", data.file("plain") + "/sub");
        id_log_line("lost");
    }
    EXPECT_EQ(take_log(), "2024-01-02 03:04:05 x\n");
}

// A reader that knows Unicode also breaks lines at NEL (U+0085), U+2028 and U+2029, and renders
// text as bidirectional and format characters say: every byte of those characters, of every C1
// control, and every byte that is not part of a UTF-8 character is written as \xNN, so that no
// logged text starts a line or reorders one for any reader. Letters of any script stay as they are.
TEST_F(SecurityEdge, LogLinesEscapeWhatAUnicodeReaderWouldBreakOrReorder) {
    ScopedTimeZone utc("UTC");
    const struct {
        const char* what;
        std::string text, logged;
    } rows[] = {
        {"next line U+0085", "a\xc2\x85" "b", "a\\xc2\\x85b"},
        {"C1 control U+0080", "\xc2\x80", "\\xc2\\x80"},
        {"C1 control U+009F", "\xc2\x9f", "\\xc2\\x9f"},
        {"line separator U+2028", "a\xe2\x80\xa8" "b", "a\\xe2\\x80\\xa8b"},
        {"paragraph separator U+2029", "a\xe2\x80\xa9" "b", "a\\xe2\\x80\\xa9b"},
        {"right-to-left override U+202E", "\xe2\x80\xae" "4.3.2.1", "\\xe2\\x80\\xae4.3.2.1"},
        {"zero width space U+200B", "ro\xe2\x80\x8bot", "ro\\xe2\\x80\\x8bot"},
        {"a lone next-line byte", "a\x85" "b", "a\\x85b"},
        {"a character cut short", "a\xe2\x80", "a\\xe2\\x80"},
        {"a surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"letters kept: \u00c5 holds the byte 0x85", "\xc3\x85" "dne caf\xc3\xa9 \xe6\x9d\x8e",
         "\xc3\x85" "dne caf\xc3\xa9 \xe6\x9d\x8e"},
        {"spaces and marks kept", "a\xc2\xa0" "b\xe2\x80\xa7" "c\xf0\x9f\x98\x80", "a\xc2\xa0" "b\xe2\x80\xa7" "c\xf0\x9f\x98\x80"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        id_log_line("u=%s", row.text.c_str());
        EXPECT_EQ(take_log(), "2024-01-02 03:04:05 u=" + row.logged + "\n");
    }
}

TEST_F(SecurityEdge, ClientAddressPrefersThePeer) {
    const std::string hundred(100, 'a'), first63(63, 'a');
    using Opt = std::optional<std::string>;
    const struct {
        Opt remote, forwarded;
        std::size_t cap;
        const char* expected;
    } rows[] = {
        {"10.0.0.1", "1.2.3.4", 64, "10.0.0.1"},
        {std::nullopt, "1.2.3.4 , 5.6.7.8", 64, "1.2.3.4"},
        {"", "1.2.3.4,5.6.7.8", 64, "1.2.3.4"},
        {std::nullopt, " 1.2.3.4", 64, " 1.2.3.4"},
        {std::nullopt, "1.2.3.4\t\r\n ", 64, "1.2.3.4"},
        {std::nullopt, hundred, 128, first63.c_str()},
        {std::nullopt, hundred + ",1.2.3.4", 128, first63.c_str()},
        {std::nullopt, ",1.2.3.4", 64, ""},
        {std::nullopt, "", 64, "?"},
        {std::nullopt, std::nullopt, 64, "?"},
        {"", std::nullopt, 64, "?"},
        {"10.0.0.1", std::nullopt, 4, "10."},
        {std::nullopt, "1.2.3.4", 3, "1."},
        {std::nullopt, std::nullopt, 1, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.remote.value_or("(unset)") + " / " + row.forwarded.value_or("(unset)"));
        ScopedEnv remote("REMOTE_ADDR", row.remote), forwarded("HTTP_X_FORWARDED_FOR", row.forwarded);
        char dst[128] = "junk";
        id_client_ip(dst, row.cap);
        EXPECT_STREQ(dst, row.expected);
        id_client_ip(dst, 0);
        id_client_ip(nullptr, 64);
        EXPECT_STREQ(dst, row.expected);
    }
}

}  // namespace
