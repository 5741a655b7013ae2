// ASCII-only case folding: usernames, roles, URI schemes and the forwarded protocol are compared
// folding the letters A-Z and nothing else, whatever the locale.
#pragma once

#include <string_view>

namespace tarn::ascii {

inline constexpr unsigned char lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// True when `a` and `b` have the same length and differ at most in the case of ASCII letters.
inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// True when `text` begins with `prefix`, ASCII letters compared ignoring case.
inline bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

}  // namespace tarn::ascii
