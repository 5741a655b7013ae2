// Refresh tokens: issue and rotation over the "refresh" section of tokens.json. Every rotation
// replaces the presented token by a successor of the same family (named by the family's first
// token) and remembers the presented one in "rotated"; presenting an exchanged token again is
// taken as theft and ends its family. A family rotates at most ID_REFRESH_FAMILY_ROTATIONS times,
// so that every exchanged token of a live family stays remembered: the rotation past that ends
// the family and the holder signs in again.
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/clock.hpp"
#include "id_tokens.h"
#include "tokens/refresh_record.hpp"
#include "tokens/token_store.hpp"

namespace tarn::tokens {
namespace {

int create(const char* user_id, const char* username, const char* client_id, const char* scope,
           std::int64_t auth_time, char* token_out, std::size_t token_cap) {
    const std::optional<std::string> token = draw_identifier("rt_", kRefreshRandomBytes);
    if (!token) return -1;
    const int result = change_tokens([&](Document& doc) {
        Value* refresh = member_mut(doc, kRefresh);
        if (!refresh->IsArray()) return Outcome::unchanged(-1);  // the token could never be used
        if (user_id && refused_user(doc, user_id, now_seconds())) return Outcome::unchanged(-1);
        RefreshRecord record;
        record.has_user_id = user_id != nullptr;
        record.user_id = user_id ? user_id : "";
        record.username = username ? username : "";
        record.client_id = client_id ? client_id : "";
        record.scope = (scope && *scope) ? scope : kDefaultScope;
        record.family = *token;
        record.expires_at = later(now_seconds(), ID_REFRESH_TOKEN_LIFETIME);
        record.auth_time = auth_time;
        refresh->PushBack(record.to_json(*token, doc), doc.GetAllocator());
        return Outcome::saved(0);
    });
    if (result == 0) json::copy_text(token_out, token_cap, *token);
    return result;
}

// True when the rotated record `el` is an exchanged token of `family`: its stored "family", or its
// own token when it has none.
bool exchanged_of(const Value& el, std::string_view family) {
    const std::string_view stored = json::str(el, "family");
    return stored.empty() ? json::str_is(el, "token", family) : stored == family;
}

// The exchanged tokens of `family` remembered in "rotated" (0 when it is missing or not an array).
std::size_t exchanged_count(const Document& doc, std::string_view family) {
    const Value* rotated = json::member(doc, kRotated);
    if (!rotated || !rotated->IsArray()) return 0;
    std::size_t count = 0;
    for (const Value& el : rotated->GetArray()) count += exchanged_of(el, family);
    return count;
}

// Appends {"token", "family"} to "rotated", creating it as the last root member. The caller has
// checked that the family has room (fewer than ID_REFRESH_FAMILY_ROTATIONS records), so nothing is
// pushed out.
// A "rotated" of another type is left alone.
void remember_rotated(Document& doc, std::string_view token, std::string_view family) {
    auto& a = doc.GetAllocator();
    if (!json::member(doc, kRotated)) doc.AddMember(rapidjson::StringRef(kRotated), Value(rapidjson::kArrayType), a);
    Value* rotated = member_mut(doc, kRotated);
    if (!rotated->IsArray()) return;
    Value record(rapidjson::kObjectType);
    record.AddMember("token", json::copy(token, doc), a);
    record.AddMember("family", json::copy(family, doc), a);
    rotated->PushBack(record, a);
}

// The token is not active: when it was exchanged before (or names a family itself), every active
// token of its family goes. -4 when any went, -1 (unknown token, nothing saved) when none did.
Outcome detect_reuse(Document& doc, Value& refresh, std::string_view token) {
    std::string_view family = token;
    if (const Value* rotated = json::member(doc, kRotated); rotated && rotated->IsArray()) {
        if (const Value* exchanged = find_by_secret(*rotated, "token", token)) {
            const std::string_view stored = json::str(*exchanged, "family");
            if (!stored.empty()) family = stored;
        }
    }
    const std::size_t removed =
        erase_elements_if(refresh, [&](const Value& el) { return in_family(el, family); });
    return removed ? Outcome::saved(-4) : Outcome::unchanged(-1);
}

int rotate(const char* token_text, const char* client_id, char* new_token, std::size_t new_token_cap,
           id_refresh_token* out) {
    const auto token = presented(token_text);
    if (!token) return -1;
    // Drawn first: when the generator fails, the presented token stays as it was.
    const std::optional<std::string> successor = draw_identifier("rt_", kRefreshRandomBytes);
    if (!successor) return -1;
    std::optional<RefreshRecord> next;
    const int result = change_tokens([&](Document& doc) {
        Value* refresh = member_mut(doc, kRefresh);
        if (!refresh->IsArray()) return Outcome::unchanged(-1);
        Value* active = find_by_secret(*refresh, "token", *token);
        if (!active) return detect_reuse(doc, *refresh, *token);

        const std::int64_t now = now_seconds();
        RefreshRecord record(*active, *token);
        const bool was_expired = expired(*active, now);
        refresh->Erase(active);
        if (was_expired) return Outcome::saved(-2);
        if (client_id && *client_id && !record.client_id.empty() && record.client_id != client_id)
            return Outcome::saved(-3);

        // A family that has used up its exchanged tokens ends here rather than forget its oldest:
        // a thief rotating a stolen family must not push the victim's token out of reuse detection.
        if (exchanged_count(doc, record.family) >= ID_REFRESH_FAMILY_ROTATIONS) {
            erase_elements_if(*refresh, [&](const Value& el) { return in_family(el, record.family); });
            return Outcome::saved(-1);  // the family's exchanged tokens go with it at the save
        }

        record.has_user_id = true;  // a successor always carries "user_id"
        record.expires_at = later(now, ID_REFRESH_TOKEN_LIFETIME);
        refresh->PushBack(record.to_json(*successor, doc), doc.GetAllocator());
        remember_rotated(doc, *token, record.family);  // may move the root's members: refresh is stale
        next = std::move(record);
        return Outcome::saved(0);
    });
    if (result != 0) return result;
    json::copy_text(new_token, new_token_cap, *successor);
    if (out) next->fill(*successor, *out);
    return 0;
}

}  // namespace
}  // namespace tarn::tokens

using namespace tarn::tokens;

extern "C" {

int id_refresh_token_create_v(const char* user_id, const char* username, const char* client_id,
                              const char* scope, int64_t auth_time, char* token_out, size_t token_cap) {
    return guarded(-1, [&] { return create(user_id, username, client_id, scope, auth_time, token_out, token_cap); });
}

int id_refresh_token_create(const char* user_id, const char* username, const char* client_id,
                            const char* scope, char* token_out, size_t token_cap) {
    return id_refresh_token_create_v(user_id, username, client_id, scope, 0, token_out, token_cap);
}

int id_refresh_token_rotate(const char* token, const char* client_id, char* new_token, size_t new_token_cap,
                            id_refresh_token* out) {
    return guarded(-1, [&] { return rotate(token, client_id, new_token, new_token_cap, out); });
}

}  // extern "C"
