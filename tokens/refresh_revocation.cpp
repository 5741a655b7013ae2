// Refresh tokens leaving the store other than by rotation: one token, every token of a user (when
// the user is deleted), or a whole family (the revocation endpoint, optionally bound to the client
// that holds it); and the read-only lookup of an active token.
#include <string>
#include <string_view>

#include "id_tokens.h"
#include "tokens/refresh_record.hpp"
#include "tokens/token_store.hpp"

namespace tarn::tokens {
namespace {

int revoke(std::string_view token) {
    return change_tokens([&](Document& doc) {
        Value* refresh = member_mut(doc, kRefresh);
        if (!refresh->IsArray()) return Outcome::unchanged(-1);
        Value* active = find_by_secret(*refresh, "token", token);
        if (!active) return Outcome::unchanged(-1);
        refresh->Erase(active);
        return Outcome::saved(0);
    });
}

int revoke_by_user(std::string_view user_id) {
    return change_tokens([&](Document& doc) {
        Value* refresh = member_mut(doc, kRefresh);
        if (refresh->IsArray())
            erase_elements_if(*refresh, [&](const Value& el) { return json::str_is(el, "user_id", user_id); });
        return Outcome::saved(0);
    });
}

// True when some active token of `family` belongs to `client_id`.
bool family_held_by(const Value& refresh, std::string_view family, std::string_view client_id) {
    for (const Value& el : refresh.GetArray()) {
        const std::string_view client = json::str(el, "client_id");
        if (in_family(el, family) && !client.empty() && client == client_id) return true;
    }
    return false;
}

int revoke_family(std::string_view token, std::string_view client_id) {
    return change_tokens([&](Document& doc) {
        Value* refresh = member_mut(doc, kRefresh);
        const bool usable = refresh->IsArray();
        // The family: that of the active token, else that of the exchanged one, else the token
        // itself (the first token of a family names it).
        const Value* active = usable ? find_by_secret(*refresh, "token", token) : nullptr;
        std::string family(active ? json::str(*active, "family") : std::string_view());
        if (family.empty()) {
            if (const Value* rotated = json::member(doc, kRotated); rotated && rotated->IsArray())
                if (const Value* exchanged = find_by_secret(*rotated, "token", token))
                    family = json::str(*exchanged, "family");
        }
        if (family.empty()) family = token;

        if (!client_id.empty() && usable && !family_held_by(*refresh, family, client_id))
            return Outcome::unchanged(0);  // a client cannot revoke another client's family
        const std::size_t removed =
            usable ? erase_elements_if(*refresh, [&](const Value& el) { return in_family(el, family); }) : 0;
        if (!active && removed == 0) return Outcome::unchanged(0);
        return Outcome::saved(static_cast<int>(removed));
    });
}

int find(std::string_view token, id_refresh_token* out) {
    Document doc;
    if (!load_tokens(doc)) return 0;
    const Value* refresh = json::member(doc, kRefresh);
    if (!refresh || !refresh->IsArray()) return 0;
    const Value* active = find_by_secret(*refresh, "token", token);
    if (!active) return 0;
    if (out) RefreshRecord(*active, token).fill(token, *out);
    return 1;
}

}  // namespace
}  // namespace tarn::tokens

using namespace tarn::tokens;

extern "C" {

int id_refresh_token_revoke(const char* token) {
    const auto t = presented(token);
    if (!t) return -1;
    return guarded(-1, [&] { return revoke(*t); });
}

int id_refresh_token_revoke_by_user(const char* user_id) {
    if (!user_id || !*user_id) return -1;
    return guarded(-1, [&] { return revoke_by_user(user_id); });
}

int id_refresh_token_revoke_family(const char* token, const char* client_id) {
    const auto t = presented(token);
    if (!t) return 0;
    const int removed = guarded(-1, [&] { return revoke_family(*t, client_id ? client_id : ""); });
    return removed < 0 ? 0 : removed;
}

int id_refresh_token_end_family(const char* token, const char* client_id) {
    const auto t = presented(token);
    if (!t) return 0;
    return guarded(-1, [&] { return revoke_family(*t, client_id ? client_id : ""); });
}

int id_tokens_readable(void) {
    return guarded(0, [] {
        tarn::Document doc;
        const tarn::LoadStatus status = tarn::load_document(kTokensFile, doc);
        return status == tarn::LoadStatus::missing || (status == tarn::LoadStatus::loaded && doc.IsObject()) ? 1 : 0;
    });
}

int id_refresh_token_find(const char* token, id_refresh_token* out) {
    const auto t = presented(token);
    if (!t) return 0;
    return guarded(0, [&] { return find(*t, out); });
}

}  // extern "C"
