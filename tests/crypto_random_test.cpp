// System randomness and random tokens: the getrandom loop (short reads, EINTR, failures) through
// the test seam, token lengths and alphabet, and that a failed draw leaves the output untouched.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "crypto/random.hpp"
#include "tarn_crypto.h"

namespace {

namespace seam = tarn::crypto::testing;

// Scripted generator: answers with at most `chunk` bytes of a counting pattern, after `eintr`
// interrupted calls; fails with `fail_errno` once `fail_after` bytes were handed out.
struct Script {
    size_t chunk = SIZE_MAX;
    int eintr = 0;
    size_t fail_after = SIZE_MAX;
    int fail_errno = EIO;
    bool answer_zero = false;
    size_t handed_out = 0;
    int calls = 0;
};
Script g_script;

ssize_t scripted_getrandom(void* buf, size_t len, unsigned) {
    ++g_script.calls;
    if (g_script.eintr > 0) {
        --g_script.eintr;
        errno = EINTR;
        return -1;
    }
    if (g_script.answer_zero) return 0;
    if (g_script.handed_out >= g_script.fail_after) {
        errno = g_script.fail_errno;
        return -1;
    }
    const size_t n = std::min(len, g_script.chunk);
    for (size_t i = 0; i < n; ++i) static_cast<unsigned char*>(buf)[i] = static_cast<unsigned char>(g_script.handed_out + i);
    g_script.handed_out += n;
    return static_cast<ssize_t>(n);
}

class ScriptedRandom : public ::testing::Test {
protected:
    void SetUp() override {
        g_script = Script{};
        seam::set_getrandom(scripted_getrandom);
    }
    void TearDown() override { seam::set_getrandom(nullptr); }
};

TEST_F(ScriptedRandom, ShortReadsAndInterruptionsAreRetriedUntilFull) {
    g_script.chunk = 7;
    g_script.eintr = 2;
    unsigned char buf[100];
    ASSERT_EQ(tarn_random_bytes(buf, sizeof buf), 0);
    for (size_t i = 0; i < sizeof buf; ++i) ASSERT_EQ(buf[i], static_cast<unsigned char>(i)) << i;
    EXPECT_EQ(g_script.calls, 2 + 15);  // two interrupted calls, then ceil(100 / 7) reads
}

TEST_F(ScriptedRandom, AnyOtherFailureIsMinusOne) {
    unsigned char buf[64];
    g_script.chunk = 16;
    g_script.fail_after = 32;  // fails half-way through
    EXPECT_EQ(tarn_random_bytes(buf, sizeof buf), -1);
    g_script = Script{};
    g_script.fail_after = 0;
    g_script.fail_errno = ENOSYS;
    EXPECT_EQ(tarn_random_bytes(buf, sizeof buf), -1);
    g_script = Script{};
    g_script.answer_zero = true;  // must not spin forever
    EXPECT_EQ(tarn_random_bytes(buf, sizeof buf), -1);
    EXPECT_EQ(tarn_random_bytes(nullptr, 4), -1);
    // Nothing to draw: success without a call.
    g_script = Script{};
    EXPECT_EQ(tarn_random_bytes(nullptr, 0), 0);
    EXPECT_EQ(g_script.calls, 0);
}

TEST_F(ScriptedRandom, TokenIsTheBase64urlOfTheDrawnBytes) {
    char token[64];
    ASSERT_EQ(tarn_random_token(token, sizeof token, 12), 0);
    const unsigned char expected_bytes[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    char expected[17];
    ASSERT_EQ(tarn_base64url_encode(expected_bytes, 12, expected, sizeof expected), 16);
    EXPECT_STREQ(token, expected);
}

TEST_F(ScriptedRandom, FailedDrawLeavesTheTokenBufferUntouched) {
    for (size_t nbytes : {8, 32, 1000}) {  // stack and heap scratch buffers
        g_script = Script{};
        g_script.chunk = 5;
        g_script.fail_after = 5;
        std::string out(2000, '#');
        EXPECT_EQ(tarn_random_token(out.data(), out.size(), nbytes), -1) << nbytes;
        EXPECT_EQ(out, std::string(2000, '#')) << nbytes;
    }
}

TEST(RandomToken, LengthsAndAlphabet) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const struct {
        size_t nbytes, len;
    } sizes[] = {{8, 11}, {12, 16}, {16, 22}, {24, 32}, {32, 43}, {1000, 1334}};
    for (const auto& s : sizes) {
        std::string out(s.len + 1, '#');
        // One short of the NUL: refused, buffer untouched.
        EXPECT_EQ(tarn_random_token(out.data(), s.len, s.nbytes), -1);
        EXPECT_EQ(out, std::string(s.len + 1, '#'));
        ASSERT_EQ(tarn_random_token(out.data(), out.size(), s.nbytes), 0);
        EXPECT_EQ(std::strlen(out.c_str()), s.len);
        EXPECT_EQ(out.find_first_not_of(alphabet), s.len) << out;
    }
    // Fresh randomness every call.
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        char t[44];
        ASSERT_EQ(tarn_random_token(t, sizeof t, 32), 0);
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), 100u);
    // A token of no random bytes would be an empty secret.
    char t[8] = "#";
    EXPECT_EQ(tarn_random_token(t, sizeof t, 0), -1);
    EXPECT_STREQ(t, "#");
}

TEST(RandomBytes, FillsBuffersLargerThanOneKernelCall) {
    // getrandom(2) hands out at most 32 MiB - 1 bytes per call: the tail comes from a second call.
    std::vector<unsigned char> buf(40u << 20, 0);
    ASSERT_EQ(tarn_random_bytes(buf.data(), static_cast<uint32_t>(buf.size())), 0);
    const size_t tail = 4096;
    size_t zeros = 0;
    for (size_t i = buf.size() - tail; i < buf.size(); ++i) zeros += buf[i] == 0;
    EXPECT_LT(zeros, tail / 32);  // about 16 expected; an unfilled tail would be all zeros
    unsigned char a[32], b[32];
    ASSERT_EQ(tarn_random_bytes(a, 32), 0);
    ASSERT_EQ(tarn_random_bytes(b, 32), 0);
    EXPECT_NE(std::memcmp(a, b, 32), 0);
}

}  // namespace
