// Walking scope lists: names separated by spaces, tabs or commas, a run of separators counting as
// one. Shared by the intersection and the consent store.
#pragma once

#include <cstddef>
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

// A C text as a view; empty for NULL.
inline std::string_view view(const char* s) { return s ? std::string_view(s) : std::string_view(); }

}  // namespace tarn::scopes
