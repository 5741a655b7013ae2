// The refresh record of tokens.json, as issue, rotation, revocation and the lookup read and write
// it: {"token", "user_id" (only when known), "username", "client_id", "scope", "family",
// "expires_at", "auth_time" (only when the sign-in time is known)}. A record stored without
// "auth_time" reads as 0 and is written back without it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/scope_list.hpp"
#include "id_tokens.h"
#include "tokens/token_store.hpp"

namespace tarn::tokens {

inline constexpr std::size_t kRefreshRandomBytes = 32;

// True when `record` is an object whose "family" is the non-empty text `family`.
inline bool in_family(const Value& record, std::string_view family) {
    const std::string_view stored = json::str(record, "family");
    return !stored.empty() && same_secret(stored, family);
}

// What a refresh record carries besides its token, whole: a successor inherits every text in full.
struct RefreshRecord {
    bool has_user_id = false;
    std::string user_id, username, client_id, scope, family;
    std::int64_t expires_at = 0;
    std::int64_t auth_time = 0;  // the user's sign-in time behind the grant; 0 when unknown

    RefreshRecord() = default;
    // Read from a stored record by the lenient rules; a record without a family heads its own,
    // named by its token.
    RefreshRecord(const Value& stored, std::string_view token)
        : has_user_id(json::member(stored, "user_id") != nullptr),
          user_id(json::str(stored, "user_id")),
          username(json::str(stored, "username")),
          client_id(json::str(stored, "client_id")),
          scope(json::str(stored, "scope")),
          family(json::str(stored, "family")),
          expires_at(json::int_or_zero(stored, "expires_at")),
          auth_time(json::int_or_zero(stored, "auth_time")) {
        if (family.empty()) family = token;
    }

    Value to_json(std::string_view token, Document& doc) const {
        auto& a = doc.GetAllocator();
        Value record(rapidjson::kObjectType);
        record.AddMember("token", json::copy(token, doc), a);
        if (has_user_id) record.AddMember("user_id", json::copy(user_id, doc), a);
        record.AddMember("username", json::copy(username, doc), a);
        record.AddMember("client_id", json::copy(client_id, doc), a);
        record.AddMember("scope", json::copy(scope, doc), a);
        record.AddMember("family", json::copy(family, doc), a);
        record.AddMember("expires_at", Value(expires_at), a);
        if (auth_time > 0) record.AddMember("auth_time", Value(auth_time), a);
        return record;
    }

    void fill(std::string_view token, id_refresh_token& out) const {
        std::memset(&out, 0, sizeof out);
        json::copy_text(out.token, sizeof out.token, token);
        json::copy_text(out.user_id, sizeof out.user_id, user_id);
        json::copy_text(out.username, sizeof out.username, username);
        json::copy_text(out.client_id, sizeof out.client_id, client_id);
        scopes::copy_list(out.scope, sizeof out.scope, scope);
        json::copy_text(out.family, sizeof out.family, family);
        out.expires_at = expires_at;
        out.auth_time = auth_time > 0 ? auth_time : 0;
    }
};

}  // namespace tarn::tokens
