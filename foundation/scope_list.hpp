// Walking scope lists: names separated by spaces, tabs or commas, a run of separators counting as
// one. Shared by the intersection and the consent store.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace tarn::scopes {

// No produced list ever holds a longer name, nor a stored list more bytes.
inline constexpr std::size_t kMaxScopeText = 255;

inline bool is_separator(char c) { return c == ' ' || c == '\t' || c == ','; }

// Calls `fn(name)` for every name of `list` in order; stops early when fn returns false.
// Returns false when it stopped early.
template <class Fn>
bool for_each_scope(std::string_view list, Fn&& fn) {
    std::size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && is_separator(list[i])) ++i;
        const std::size_t start = i;
        while (i < list.size() && !is_separator(list[i])) ++i;
        if (i > start && !fn(list.substr(start, i - start))) return false;
    }
    return true;
}

// True when `name` is one of the names of `list`.
inline bool scope_list_has(std::string_view list, std::string_view name) {
    return !for_each_scope(list, [name](std::string_view n) { return n != name; });
}

// Copies the scope list `list` (up to its first NUL) into `dst`, cap bytes with the NUL. A list
// that does not fit is cut before the name the cut would fall in, so that a cut list never
// spells a name it does not hold ("admin_readonly" cut to "admin"). Nothing happens when dst is
// null or cap is 0.
inline void copy_list(char* dst, std::size_t cap, std::string_view list) {
    if (!dst || cap == 0) return;
    if (const std::size_t nul = list.find('\0'); nul != std::string_view::npos) list = list.substr(0, nul);
    std::size_t len = list.size();
    if (len > cap - 1) {
        len = cap - 1;  // list[len] is the first byte left out
        while (len > 0 && !is_separator(list[len])) --len;
    }
    if (len > 0) std::memcpy(dst, list.data(), len);
    dst[len] = '\0';
}

// A C text as a view; empty for NULL.
inline std::string_view view(const char* s) { return s ? std::string_view(s) : std::string_view(); }

}  // namespace tarn::scopes
