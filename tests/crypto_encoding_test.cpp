// base64url encoding, the lenient base64 decoder and hex: exact outputs, capacity rules, error
// results and what a failed call leaves in the buffer.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tarn_crypto.h"

namespace {

struct Decoded {
    int rc;
    std::string bytes;  // the bytes written to the output, up to the reported length
    uint64_t len;       // 777 when the call did not set it
};

Decoded decode(const std::string& text, size_t cap = 64) {
    std::vector<unsigned char> out(cap + 1, 0xEE);
    Decoded d{0, "", 777};
    d.rc = tarn_base64url_decode(text.data(), text.size(), out.data(), cap, &d.len);
    const size_t n = d.rc == 0 ? d.len : cap;
    d.bytes.assign(out.begin(), out.begin() + static_cast<long>(n));
    EXPECT_EQ(out[cap], 0xEE) << "wrote past the capacity";
    return d;
}

TEST(Base64url, EncodesWithoutPaddingAndHonoursCapacity) {
    struct {
        std::string in, text;
    } cases[] = {{"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"},
                 {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "-_8"}};
    for (const auto& c : cases) {
        const int n = static_cast<int>(c.text.size());
        char out[16];
        // Capacity exactly the text length (no room for the NUL): -1, buffer untouched.
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(tarn_base64url_encode(c.in.data(), c.in.size(), out, c.text.size()), -1) << c.text;
        EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#')) << c.text;
        // Text length + 1: the text and a NUL.
        EXPECT_EQ(tarn_base64url_encode(c.in.data(), c.in.size(), out, c.text.size() + 1), n);
        EXPECT_EQ(std::string(out), c.text);
    }
}

TEST(Base64url, MatchesOpenSslOverAllByteValues) {
    std::mt19937 rng(3);
    for (size_t len = 0; len < 300; ++len) {
        std::vector<unsigned char> in(len);
        for (auto& b : in) b = static_cast<unsigned char>(rng());
        // OpenSSL's padded standard alphabet, turned into unpadded base64url.
        std::string ref(4 * ((len + 2) / 3) + 1, '\0');
        ref.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(ref.data()), in.data(),
                                                       static_cast<int>(len))));
        const std::string standard = ref;
        while (!ref.empty() && ref.back() == '=') ref.pop_back();
        for (char& c : ref) c = c == '+' ? '-' : c == '/' ? '_' : c;
        std::string out(ref.size() + 1, '\0');
        ASSERT_EQ(tarn_base64url_encode(in.data(), len, out.data(), out.size()), static_cast<int>(ref.size()));
        out.pop_back();
        ASSERT_EQ(out, ref);
        // The decoder takes the text back, and the padded standard form too.
        ASSERT_EQ(decode(ref, 400).bytes, std::string(in.begin(), in.end()));
        ASSERT_EQ(decode(standard, 400).bytes, std::string(in.begin(), in.end()));
    }
}

TEST(Base64url, TextLongerThanAnIntCanCarryIsRefused) {
    // Never read: the length alone decides (a text of 2^31 or more characters).
    const unsigned char data[1] = {0};
    char out[4] = "##";
    EXPECT_EQ(tarn_base64url_encode(data, size_t{INT_MAX} / 4 * 3 + 3, out, SIZE_MAX), -1);
    EXPECT_EQ(std::string(out), "##");
}

TEST(Base64Decode, LenientForms) {
    // Both alphabets, optional padding, skipped line breaks and spaces.
    for (const char* t : {"Zm8", "Zm8=", "Zm8\r\n", " Z m\n8 ", "Zm8=\n"}) {
        const Decoded d = decode(t);
        EXPECT_EQ(d.rc, 0) << t;
        EXPECT_EQ(d.len, 2u) << t;
        EXPECT_EQ(d.bytes, "fo") << t;
    }
    EXPECT_EQ(decode("-_8").bytes, "\xFB\xFF");
    EXPECT_EQ(decode("+/8=").bytes, "\xFB\xFF");
    // A padded group with two data characters does not end the text.
    EXPECT_EQ(decode("Zg==Zm8").bytes, "ffo");
    // A lone trailing character is dropped; a group of fewer than two data characters ends the
    // text and what follows is not looked at, not even invalid characters.
    EXPECT_EQ(decode("Zm9vY").bytes, "foo");
    EXPECT_EQ(decode("Zm9v====Zm8").bytes, "foo");
    EXPECT_EQ(decode("Zm9vA===\t!").bytes, "foo");
    const Decoded empty = decode("");
    EXPECT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.len, 0u);
}

TEST(Base64Decode, InvalidCharacterFailsAndKeepsEarlierBytes) {
    const Decoded tab = decode("Zm\t8");
    EXPECT_EQ(tab.rc, -1);
    EXPECT_EQ(tab.len, 777u);  // length not set
    const Decoded late = decode("Zm9vYmFy.mFy");
    EXPECT_EQ(late.rc, -1);
    EXPECT_EQ(late.len, 777u);
    EXPECT_EQ(late.bytes.substr(0, 6), "foobar");
}

TEST(Base64Decode, BytesPastTheCapacityAreDropped) {
    const Decoded d = decode("YWJj", 2);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.len, 2u);
    EXPECT_EQ(d.bytes, "ab");
    // Decoding goes on after the buffer is full: a later invalid character still fails.
    EXPECT_EQ(decode("YWJjYWJj*", 2).rc, -1);
    // No buffer at all, no length pointer.
    EXPECT_EQ(tarn_base64url_decode("YWJj", 4, nullptr, 0, nullptr), 0);
}

TEST(Hex, EncodeNeedsRoomForEveryDigitAndTheNul) {
    unsigned char in[16];
    for (int i = 0; i < 16; ++i) in[i] = static_cast<unsigned char>(i * 17 + 10);
    char out[40];
    std::memset(out, '#', sizeof out);
    tarn_hex_encode(in, 16, out, 32);
    EXPECT_EQ(std::string(out, sizeof out), std::string(40, '#'));  // nothing, not even a NUL
    tarn_hex_encode(in, 16, out, 33);
    EXPECT_EQ(std::string(out), "0a1b2c3d4e5f708192a3b4c5d6e7f809");
    EXPECT_EQ(out[33], '#');
    tarn_hex_encode(in, 0, out, 1);
    EXPECT_EQ(out[0], '\0');
    // A length whose doubled size wraps around must not pass the capacity check.
    std::memset(out, '#', sizeof out);
    tarn_hex_encode(in, SIZE_MAX / 2 + 1, out, sizeof out);
    EXPECT_EQ(std::string(out, sizeof out), std::string(40, '#'));
}

TEST(Hex, DecodeAcceptsEitherCaseAndReportsErrors) {
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(tarn_hex_decode("0A0b", 4, out, sizeof out), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x0B);
    EXPECT_EQ(out[2], 0xEE);  // no NUL
    EXPECT_EQ(tarn_hex_decode("", 0, out, 0), 0);
    EXPECT_EQ(tarn_hex_decode("0G", 2, out, sizeof out), -1);
    EXPECT_EQ(tarn_hex_decode("abc", 3, out, sizeof out), -1);
    // Bytes before the bad digit stay written.
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(tarn_hex_decode("ff10g0", 6, out, sizeof out), -1);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0x10);
    EXPECT_EQ(out[2], 0xEE);
    // Capacity below len / 2: refused before writing.
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(tarn_hex_decode("0102", 4, out, 1), -1);
    EXPECT_EQ(out[0], 0xEE);
    // A byte count that an int cannot carry is refused rather than misreported (never read).
    EXPECT_EQ(tarn_hex_decode("00", (size_t{INT_MAX} + 1) * 2, out, SIZE_MAX), -1);
    // Round trip over every byte value.
    unsigned char all[256], back[256];
    char text[513];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    tarn_hex_encode(all, 256, text, sizeof text);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(tarn_hex_decode(text, 512, back, sizeof back), 256);
    EXPECT_EQ(std::memcmp(all, back, 256), 0);
}

}  // namespace
