// tokens.json, the document every session, authorization code and refresh token lives in: its
// shape, the one way a change loads it, and the reading rules the token operations share.
//
// The root is an object with "sessions" (session identifier -> record), "auth_codes" (code ->
// record), "refresh" (active refresh records, in issue order), from the first rotation on
// "rotated" (exchanged tokens with their family, oldest first, at most ID_ROTATED_MAX of each
// family, only of families with an active token; a family ends instead of rotating past them), and from the first user deletion on
// "deleted_users" (user identifier -> {"expires_at"}: no new grant is stored for that user until
// then), and from the first code exchanged with its refresh token on "exchanged_codes" (code ->
// {"family", "expires_at"}: the family that code started, while the code would still be valid).
// Other root members are carried through untouched. A section of the wrong type is left as
// it is: nothing is added to it and nothing is found in it.
//
// Every change that saves also drops the exchanged tokens and codes of families that have no
// active token left (presenting one can end nothing) and the exchanged codes past their expiry; once the file has grown past kShedAbove bytes it also
// drops every session, code, refresh token and deletion mark past its expiry, and whatever else
// can never be found, so that the store does not grow with the deployment's age.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "id_foundation.h"

namespace tarn::tokens {

inline constexpr std::string_view kTokensFile = "tokens.json";
inline constexpr const char* kSessions = "sessions";
inline constexpr const char* kAuthCodes = "auth_codes";
inline constexpr const char* kRefresh = "refresh";
inline constexpr const char* kRotated = "rotated";
inline constexpr const char* kDeletedUsers = "deleted_users";
inline constexpr const char* kExchangedCodes = "exchanged_codes";

// A tokens.json larger than this, as read by a change, is shed by that change.
inline constexpr std::size_t kShedAbove = 1024 * 1024;

// The scope granted when a code or refresh token is issued without one.
inline constexpr std::string_view kDefaultScope = "openid profile";

// A presented session identifier, code or token longer than this is none this store issued
// (they are 37 to 46 bytes): it is refused before the store is read.
inline constexpr std::size_t kMaxPresentedSecret = 1024;

// Brings a tokens.json loaded for change into the store's shape: a root that is not an object
// (Null when the file was missing or set aside) becomes an empty object, and a missing
// "sessions", "auth_codes" or "refresh" is appended empty, in that order.
void load_tokens_mut(Document& doc);

// What a tidy-up of the store removed, section by section.
struct Dropped {
    std::size_t sessions = 0, auth_codes = 0, refresh = 0, rotated = 0, deleted_users = 0, exchanged_codes = 0;
    std::size_t total() const { return sessions + auth_codes + refresh + rotated + deleted_users + exchanged_codes; }
};

// Drops from `doc` the exchanged tokens that can end nothing (not an object, no string "token",
// or of a family without an active token; left alone while "refresh" is not an array), the
// exchanged codes that can end nothing (not an object, expired, or of such a family) and, with
// `expired_too`, every session, code, refresh token and deletion mark past its expiry at `now`
// (and any that is not an object, or a refresh record without a string "token").
Dropped drop_unusable(Document& doc, std::int64_t now, bool expired_too);

// Reads tokens.json into `doc` as load_document does, and its size in bytes into `bytes` (0 when
// it was not read).
LoadStatus load_measured(const DocFile& file, Document& doc, std::size_t& bytes);

// Runs `change(doc)` on tokens.json under its lock, shaped by load_tokens_mut; `change` returns an
// Outcome. When it saves, the save also drops what drop_unusable drops, expired records included
// when the file read was larger than kShedAbove. An unparseable tokens.json is set aside before it
// is replaced. Returns the outcome's result, or -1 when the lock, the load or the save fails.
template <class Change>
int change_tokens(Change&& change) {
    const DocFile file(kTokensFile);
    std::size_t bytes = 0;
    return detail::change_with(
        file, ID_LOCK_RETRIES, Unreadable::set_aside,
        [&file, &bytes](Document& doc) { return load_measured(file, doc, bytes); },
        [&change, &bytes](Document& doc, bool) {
            load_tokens_mut(doc);
            const Outcome outcome = change(doc);
            if (outcome.save) drop_unusable(doc, now_seconds(), bytes > kShedAbove);
            return outcome;
        },
        nullptr);
}

// True when `user_id` is non-empty and marked in "deleted_users" until `now` or later: no
// session, code or refresh token may be stored for it.
bool refused_user(const Value& root, std::string_view user_id, std::int64_t now);

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
