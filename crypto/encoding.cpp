// base64url (RFC 4648 section 5) without padding, a lenient decoder for both base64 alphabets,
// and lower-case hex.
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

#include "crypto/export.hpp"
#include "tarn_crypto.h"

namespace {

constexpr char b64url_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char hex_chars[] = "0123456789abcdef";

constexpr signed char kInvalid = -1;
constexpr signed char kSkip = -2;     // line feed, carriage return, space
constexpr signed char kPadding = -3;  // '='

// Character classes of the decoder: 0..63 for a data character of either alphabet, else one of
// the negative markers above.
constexpr std::array<signed char, 256> make_b64_table() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = kInvalid;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(b64url_chars[i])] = static_cast<signed char>(i);
    t['+'] = 62;
    t['/'] = 63;
    t['\n'] = kSkip;
    t['\r'] = kSkip;
    t[' '] = kSkip;
    t['='] = kPadding;
    return t;
}
constexpr std::array<signed char, 256> b64_table = make_b64_table();

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

TARN_CRYPTO_API int tarn_base64url_encode(const void* data, size_t len, char* out, size_t cap) {
    // The text length is returned as an int: refuse inputs whose text would not fit in one.
    if (len / 3 > static_cast<std::size_t>((INT_MAX - 3) / 4)) return -1;
    const std::size_t rem = len % 3;
    const std::size_t text_len = 4 * (len / 3) + (rem == 0 ? 0 : rem + 1);
    if (cap < text_len + 1) return -1;

    const auto* in = static_cast<const unsigned char*>(data);
    char* o = out;
    std::size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        *o++ = b64url_chars[v >> 18];
        *o++ = b64url_chars[(v >> 12) & 63];
        *o++ = b64url_chars[(v >> 6) & 63];
        *o++ = b64url_chars[v & 63];
    }
    if (rem != 0) {
        std::uint32_t v = std::uint32_t{in[i]} << 16;
        if (rem == 2) v |= std::uint32_t{in[i + 1]} << 8;
        *o++ = b64url_chars[v >> 18];
        *o++ = b64url_chars[(v >> 12) & 63];
        if (rem == 2) *o++ = b64url_chars[(v >> 6) & 63];
    }
    *o = '\0';
    return static_cast<int>(text_len);
}

TARN_CRYPTO_API int tarn_base64url_decode(const char* text, size_t len, unsigned char* out,
                                          size_t cap, uint64_t* out_len) {
    std::size_t pos = 0;
    std::size_t written = 0;
    auto emit = [&](std::uint32_t byte) {
        if (written < cap) out[written++] = static_cast<unsigned char>(byte);
    };
    for (;;) {
        // Gather a group of four slots; '=' and the end of the text fill a slot without data.
        std::uint32_t value = 0;
        bool has_data[4] = {false, false, false, false};
        int slots = 0;
        int data_count = 0;
        while (slots < 4 && pos < len) {
            const signed char c = b64_table[static_cast<unsigned char>(text[pos++])];
            if (c == kSkip) continue;
            if (c == kInvalid) return -1;
            if (c >= 0) {
                value |= static_cast<std::uint32_t>(c) << (18 - 6 * slots);
                has_data[slots] = true;
                ++data_count;
            }
            ++slots;
        }
        // Fewer than two data characters cannot make a byte: that ends the text.
        if (data_count < 2) break;
        emit(value >> 16);
        if (has_data[2]) emit((value >> 8) & 0xFF);
        if (has_data[3]) emit(value & 0xFF);
    }
    if (out_len != nullptr) *out_len = written;
    return 0;
}

TARN_CRYPTO_API void tarn_hex_encode(const void* data, size_t len, char* out, size_t cap) {
    // 2 * len + 1 must not wrap around: a huge len never fits any buffer.
    if (len > (SIZE_MAX - 1) / 2 || cap < 2 * len + 1) return;
    const auto* in = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < len; ++i) {
        out[2 * i] = hex_chars[in[i] >> 4];
        out[2 * i + 1] = hex_chars[in[i] & 15];
    }
    out[2 * len] = '\0';
}

TARN_CRYPTO_API int tarn_hex_decode(const char* text, size_t len, unsigned char* out, size_t cap) {
    // The byte count is returned as an int: longer texts are refused rather than misreported.
    if (len % 2 != 0 || cap < len / 2 || len / 2 > static_cast<std::size_t>(INT_MAX)) return -1;
    for (std::size_t i = 0; i < len / 2; ++i) {
        const int hi = hex_value(static_cast<unsigned char>(text[2 * i]));
        const int lo = hex_value(static_cast<unsigned char>(text[2 * i + 1]));
        if (hi < 0 || lo < 0) return -1;
        out[i] = static_cast<unsigned char>((hi << 4) | lo);
    }
    return static_cast<int>(len / 2);
}
