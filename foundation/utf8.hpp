// Strict UTF-8 (shortest forms only, no surrogates, nothing above U+10FFFF), read within the
// bounds of the text: a sequence cut short at the end of a text is invalid, and nothing past the
// text's last byte is ever looked at. RapidJSON's own check reads the whole sequence its first
// byte announces, past the end of the text when it is cut there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarn::utf8 {

// The length of the well-formed sequence at the start of `s`, or 0 when it does not start with
// one (an empty text included).
inline std::size_t sequence(std::string_view s) {
    if (s.empty()) return 0;
    const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = byte(0);
    if (b < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;  // shorter forms
        if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;  // shorter forms
        if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < len || byte(1) < lo || byte(1) > hi) return 0;
    for (std::size_t i = 2; i < len; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    return len;
}

// The code point of the well-formed sequence at the start of `s`, and that sequence's length;
// length 0 when `s` does not start with one.
struct Decoded {
    char32_t code_point;
    std::size_t length;
};
inline Decoded decode(std::string_view s) {
    const std::size_t n = sequence(s);
    if (n == 0) return {0, 0};
    const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = byte(0) & kLeadBits[n];
    for (std::size_t i = 1; i < n; ++i) c = (c << 6) | (byte(i) & 0x3F);
    return {c, n};
}

// True when all of `s` is well-formed UTF-8.
inline bool valid(std::string_view s) {
    while (!s.empty()) {
        const std::size_t n = sequence(s);
        if (n == 0) return false;
        s.remove_prefix(n);
    }
    return true;
}

// `s` with every byte that does not begin a well-formed sequence replaced by U+FFFD: a text that
// can always be written as JSON, for records and reports of texts that were cut or crafted.
inline std::string repaired(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    while (!s.empty()) {
        const std::size_t n = sequence(s);
        if (n == 0) {
            out.append("\xEF\xBF\xBD");
            s.remove_prefix(1);
        } else {
            out.append(s.substr(0, n));
            s.remove_prefix(n);
        }
    }
    return out;
}

}  // namespace tarn::utf8
