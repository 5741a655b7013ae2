// tokens.json, the document every session, authorization code and refresh token lives in: its
// shape, the one way a change loads it, and the reading rules the token operations share.
//
// The root is an object with "sessions" (session identifier -> record), "auth_codes" (code ->
// record), "refresh" (active refresh records, in issue order) and, from the first rotation on,
// "rotated" (exchanged tokens with their family, oldest first). Other root members are carried
// through untouched. A section of the wrong type is left as it is: nothing is added to it and
// nothing is found in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/document.hpp"
#include "core/json_read.hpp"
#include "identity_common.h"

namespace tarn::tokens {

inline constexpr std::string_view kTokensFile = "tokens.json";
inline constexpr const char* kSessions = "sessions";
inline constexpr const char* kAuthCodes = "auth_codes";
inline constexpr const char* kRefresh = "refresh";
inline constexpr const char* kRotated = "rotated";

// The scope granted when a code or refresh token is issued without one.
inline constexpr std::string_view kDefaultScope = "openid profile";

// A presented session identifier, code or token longer than this is none this store issued
// (they are 37 to 46 bytes): it is refused before the store is read.
inline constexpr std::size_t kMaxPresentedSecret = 1024;

// Brings a tokens.json loaded for change into the store's shape: a root that is not an object
// (Null when the file was missing or set aside) becomes an empty object, and a missing
// "sessions", "auth_codes" or "refresh" is appended empty, in that order.
void load_tokens_mut(Document& doc);

// Runs `change(doc)` on tokens.json under its lock, shaped by load_tokens_mut; `change` returns an
// Outcome. An unparseable tokens.json is set aside before it is replaced. Returns the outcome's
// result, or -1 when the lock, the load or the save fails.
template <class Change>
int change_tokens(Change&& change) {
    return change_document(kTokensFile, ID_LOCK_RETRIES, Unreadable::set_aside,
                           [&change](Document& doc, bool) {
                               load_tokens_mut(doc);
                               return change(doc);
                           });
}

// tokens.json for reading, without the lock. False when it is missing, does not parse, or its
// root is not an object.
bool load_tokens(Document& doc);

// The first member `name` of `obj`, for changing it; nullptr when there is none.
inline Value* member_mut(Value& obj, std::string_view name) {
    return const_cast<Value*>(json::member(obj, name));
}

// A text from a request that names a secret (session identifier, code, token): nullopt when it
// is NULL, empty or longer than kMaxPresentedSecret.
std::optional<std::string_view> presented(const char* text);

// Compares secrets over their whole length (see tarn_ct_equal).
bool same_secret(std::string_view a, std::string_view b);

// The first member of `obj` whose name is the secret `name`, or MemberEnd().
template <class Object>
auto find_by_name(Object& obj, std::string_view name) {
    auto it = obj.MemberBegin();
    for (; it != obj.MemberEnd(); ++it)
        if (same_secret(json::text(it->name), name)) break;
    return it;
}

// The first element of `array` that is an object whose `field` is a string equal to the secret
// `value`, or nullptr.
template <class Array>
auto find_by_secret(Array& array, std::string_view field, std::string_view value) -> decltype(&*array.Begin()) {
    for (auto& el : array.GetArray()) {
        const Value* v = json::member(el, field);
        if (v && v->IsString() && same_secret(json::text(*v), value)) return &el;
    }
    return nullptr;
}

// Removes the members of object `obj` for which `drop(name, value)` holds (or the elements of
// array `arr` for which `drop(value)` holds), keeping the order of the rest, in one pass. Returns
// the number removed.
template <class Drop>
std::size_t erase_members_if(Value& obj, Drop&& drop) {
    auto kept = obj.MemberBegin();
    for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
        if (drop(json::text(it->name), static_cast<const Value&>(it->value))) continue;
        if (kept != it) {
            kept->name.Swap(it->name);
            kept->value.Swap(it->value);
        }
        ++kept;
    }
    const auto removed = static_cast<std::size_t>(obj.MemberEnd() - kept);
    if (removed) obj.EraseMember(kept, obj.MemberEnd());
    return removed;
}

template <class Drop>
std::size_t erase_elements_if(Value& arr, Drop&& drop) {
    auto kept = arr.Begin();
    for (auto it = arr.Begin(); it != arr.End(); ++it) {
        if (drop(*it)) continue;
        if (kept != it) kept->Swap(*it);
        ++kept;
    }
    const auto removed = static_cast<std::size_t>(arr.End() - kept);
    if (removed) arr.Erase(kept, arr.End());
    return removed;
}

// True when the record's "expires_at" is missing, not an integer, or before `now`: a record is
// valid up to and including the second it expires.
bool expired(const Value& record, std::int64_t now);

// `now` + `seconds`, held at the largest time instead of overflowing.
std::int64_t later(std::int64_t now, std::int64_t seconds);

// `prefix` followed by the base64url text of `nbytes` fresh random bytes; nullopt when the
// generator fails (nothing may then be stored or handed out).
std::optional<std::string> draw_identifier(std::string_view prefix, std::size_t nbytes);

// Runs `op` and turns anything thrown (out of memory) into `failure`: nothing crosses the C
// interface.
template <class Result, class Op>
Result guarded(Result failure, Op&& op) {
    try {
        return std::forward<Op>(op)();
    } catch (...) {
        return failure;
    }
}

}  // namespace tarn::tokens
