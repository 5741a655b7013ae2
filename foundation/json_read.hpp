// Lenient reading of stored records, the rules every store shares: the first member of a name
// counts; a text member that is missing or not a string reads as empty text; a time or count
// that is missing or not an integer reads as 0; elements that are not objects are skipped by the
// callers. Stored documents are outside input: nothing here trusts a length or a type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "foundation/document.hpp"

namespace tarn::json {

// The value of the first member `name` of `obj`, or nullptr (also when `obj` is not an object).
inline const Value* member(const Value& obj, std::string_view name) {
    if (!obj.IsObject()) return nullptr;
    for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
        const Value& key = it->name;
        if (key.GetStringLength() == name.size() &&
            std::memcmp(key.GetString(), name.data(), name.size()) == 0)
            return &it->value;
    }
    return nullptr;
}

// The text of a string value, with its full length (a NUL inside stays in the view).
inline std::string_view text(const Value& v) { return {v.GetString(), v.GetStringLength()}; }

// The first member `name` as text; empty when missing or not a string.
inline std::string_view str(const Value& obj, std::string_view name) {
    const Value* v = member(obj, name);
    return (v && v->IsString()) ? text(*v) : std::string_view{};
}

// True when the first member `name` is a string equal to `expected`, byte for byte.
inline bool str_is(const Value& obj, std::string_view name, std::string_view expected) {
    const Value* v = member(obj, name);
    return v && v->IsString() && text(*v) == expected;
}

// An integer value at its full width: signed 64-bit integers as they are, unsigned ones above
// INT64_MAX clamped to INT64_MAX; anything else (a fraction, an exponent, another type) is 0.
inline std::int64_t int_value(const Value* v) {
    if (!v) return 0;
    if (v->IsInt64()) return v->GetInt64();
    if (v->IsUint64()) return INT64_MAX;
    return 0;
}

// The first member `name` as an integer, by the rule of int_value.
inline std::int64_t int_or_zero(const Value& obj, std::string_view name) {
    return int_value(member(obj, name));
}

namespace detail {

// Copies `src` up to its first NUL into `dst`, at most cap - 1 bytes and a NUL. When it must cut,
// `back_off(src, len)` moves the cut at `len` back to where it may fall.
template <class BackOff>
void copy_cut(char* dst, std::size_t cap, std::string_view src, BackOff&& back_off) {
    if (!dst || cap == 0) return;
    if (src.empty()) src = "";  // an empty view may have no data pointer, which memchr and memcpy refuse
    std::size_t len = src.size();
    if (const void* nul = std::memchr(src.data(), '\0', len))
        len = static_cast<std::size_t>(static_cast<const char*>(nul) - src.data());
    if (len > cap - 1) len = back_off(src, cap - 1);
    std::memcpy(dst, src.data(), len);
    dst[len] = '\0';
}

}  // namespace detail

// Copies `src` into `dst` cut at cap - 1 bytes and terminated; the text ends at its first NUL,
// as a C text would. Nothing happens when dst is null or cap is 0.
inline void copy_text(char* dst, std::size_t cap, std::string_view src) {
    detail::copy_cut(dst, cap, src, [](std::string_view, std::size_t len) { return len; });
}

// As copy_text, but a text that must be cut backs off to a UTF-8 character boundary, so that the
// copy stays valid UTF-8 when the source is.
inline void copy_text_utf8(char* dst, std::size_t cap, std::string_view src) {
    detail::copy_cut(dst, cap, src, [](std::string_view s, std::size_t len) {
        while (len > 0 && (static_cast<unsigned char>(s[len]) & 0xC0) == 0x80) --len;
        return len;
    });
}

// A string value that refers to `s` without copying; `s` must outlive the value's document.
inline Value ref(std::string_view s) {
    return Value(rapidjson::StringRef(s.data(), static_cast<rapidjson::SizeType>(s.size())));
}

// A string value holding a copy of `s`, owned by `doc`'s allocator.
inline Value copy(std::string_view s, Document& doc) {
    return Value(s.data(), static_cast<rapidjson::SizeType>(s.size()), doc.GetAllocator());
}

}  // namespace tarn::json
