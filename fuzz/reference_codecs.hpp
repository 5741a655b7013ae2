// Plain reference decoders written straight from the encoding rules, slow and obvious on
// purpose: the fuzz targets compare the library's decoders with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarn::fuzz {

// Lenient base64 of either alphabet: the full output (before any capacity cut), and whether the
// text decoded without meeting a character outside the alphabet. On failure `bytes` holds what
// was decoded before the bad character.
struct Base64Result {
    bool ok = true;
    std::vector<std::uint8_t> bytes;
};

inline int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

inline Base64Result reference_base64_decode(std::string_view text) {
    Base64Result r;
    int value[4] = {0, 0, 0, 0};
    bool data[4] = {false, false, false, false};
    int filled = 0;
    // Completes the group (missing slots are padding). False when the group ends the text.
    auto finish_group = [&]() {
        for (int i = filled; i < 4; ++i) {
            data[i] = false;
            value[i] = 0;
        }
        filled = 0;
        if (int(data[0]) + int(data[1]) + int(data[2]) + int(data[3]) < 2) return false;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 6) | static_cast<std::uint32_t>(data[i] ? value[i] : 0);
        r.bytes.push_back(static_cast<std::uint8_t>(v >> 16));
        if (data[2]) r.bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        if (data[3]) r.bytes.push_back(static_cast<std::uint8_t>(v));
        return true;
    };
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n' || c == '\r' || c == ' ') continue;
        if (c == '=') {
            data[filled] = false;
            value[filled] = 0;
        } else {
            const int v = base64_value(c);
            if (v < 0) {
                r.ok = false;
                return r;
            }
            data[filled] = true;
            value[filled] = v;
        }
        if (++filled == 4 && !finish_group()) return r;
    }
    if (filled > 0) finish_group();
    return r;
}

// Hex of either case into a buffer of `cap` bytes: the result the decoder must return and the
// bytes it must have written by then.
struct HexResult {
    int result = 0;
    std::vector<std::uint8_t> bytes;
};

inline int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline HexResult reference_hex_decode(std::string_view text, std::size_t cap) {
    HexResult r;
    if (text.size() % 2 != 0 || cap < text.size() / 2) {
        r.result = -1;
        return r;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(static_cast<unsigned char>(text[i]));
        const int lo = hex_digit(static_cast<unsigned char>(text[i + 1]));
        if (hi < 0 || lo < 0) {
            r.result = -1;
            return r;
        }
        r.bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    r.result = static_cast<int>(text.size() / 2);
    return r;
}

// UTF-8 as RFC 3629 defines it: shortest forms only, no surrogates, nothing above U+10FFFF.
inline bool utf8_valid(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t more;
        std::uint32_t cp;
        std::uint32_t least;
        if ((c & 0xE0) == 0xC0) {
            more = 1, cp = c & 0x1Fu, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, cp = c & 0x0Fu, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, cp = c & 0x07u, least = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i - 1 < more) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3Fu);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

}  // namespace tarn::fuzz
