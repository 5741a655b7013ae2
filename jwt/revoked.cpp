// revoked.json: identifiers ("jti") of access tokens revoked before their expiry, each kept until
// that expiry has passed. One object; each member is named by an identifier and holds
// {"exp", "sub", "client_id"}.
//
// A revocation must hold for as long as its token is accepted. Verification takes a token in the
// second of its "exp", so an identifier reads as revoked through that second, and the prune keeps
// every entry the check would still answer revoked for (one without a usable expiry for good:
// dropping it would quietly take the revocation back). A list that exists but cannot be read or
// parsed cannot tell one token from another, so every identifier reads as revoked until a change
// sets the file aside.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_edit.hpp"
#include "foundation/json_read.hpp"
#include "id_foundation.h"
#include "id_jwt.h"

namespace tarn::jwt {
namespace {

constexpr std::string_view kRevokedFile = "revoked.json";

bool is_integer(const Value& v) { return v.IsInt64() || v.IsUint64(); }

// True when `entry` still revokes its identifier at `now`: an object whose "exp" is missing, not an
// integer, 0, or not before `now`.
bool still_revoked(const Value& entry, std::int64_t now) {
    if (!entry.IsObject()) return false;
    const Value* exp = json::member(entry, "exp");
    if (!exp || !is_integer(*exp) || json::int_value(exp) == 0) return true;
    return json::int_value(exp) >= now;
}

int add(std::string_view jti, std::int64_t exp, std::string_view sub, std::string_view client_id) {
    return change_document(kRevokedFile, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool) {
        if (!doc.IsObject()) doc.SetObject();  // missing, or a root of another type
        auto& a = doc.GetAllocator();
        const std::int64_t now = now_seconds();
        // One pass that keeps the order: entries that no longer revoke (or are not entries) go,
        // and so does every earlier member of this identifier, since the new entry comes last.
        Value kept(rapidjson::kObjectType);
        for (auto& m : doc.GetObject()) {
            if (json::text(m.name) == jti || !still_revoked(m.value, now)) continue;
            kept.AddMember(m.name, m.value, a);  // moved, not copied
        }
        Value entry(rapidjson::kObjectType);
        entry.AddMember("exp", Value(static_cast<std::int64_t>(exp)), a);
        entry.AddMember("sub", json::copy(sub, doc), a);
        entry.AddMember("client_id", json::copy(client_id, doc), a);
        kept.AddMember(json::copy(jti, doc), entry, a);
        static_cast<Value&>(doc) = kept;
        return Outcome::saved(0);
    });
}

int is_revoked(std::string_view jti) {
    Document doc;
    switch (load_document(kRevokedFile, doc)) {
        case LoadStatus::loaded: break;
        case LoadStatus::missing: return 0;
        case LoadStatus::invalid:
        case LoadStatus::unreadable: return 1;  // fails closed
    }
    const Value* entry = json::member(doc, jti);  // the first member of that name
    return entry && still_revoked(*entry, now_seconds()) ? 1 : 0;
}

std::string_view or_empty(const char* s) { return s ? s : ""; }

// Drops the entries that no longer revoke, as the add's prune does. An unreadable list is left
// for the next add to set aside: until then it revokes everything, which a sweep must not end.
int sweep(std::size_t& removed) {
    removed = 0;
    return change_document(kRevokedFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool) {
        if (!doc.IsObject()) return Outcome::unchanged(0);  // missing, or no list to prune
        const std::int64_t now = now_seconds();
        json::erase_members_if(doc, [&](const Value&, const Value& entry) {
            if (still_revoked(entry, now)) return false;
            ++removed;
            return true;
        });
        return removed ? Outcome::saved(0) : Outcome::unchanged(0);
    });
}

}  // namespace
}  // namespace tarn::jwt

extern "C" int id_revoke_add_jti(const char* jti, int64_t exp, const char* sub, const char* client_id) {
    if (!jti || !*jti) return -1;
    try {
        return tarn::jwt::add(jti, exp, tarn::jwt::or_empty(sub), tarn::jwt::or_empty(client_id));
    } catch (...) {
        return -1;
    }
}

extern "C" int id_revoke_is_jti(const char* jti) {
    if (!jti || !*jti) return 0;
    try {
        return tarn::jwt::is_revoked(jti);
    } catch (...) {
        return 1;  // the list could not be read (no memory): fails closed
    }
}

extern "C" int id_revoke_sweep(size_t* removed) {
    if (removed) *removed = 0;
    std::size_t n = 0;
    try {
        if (tarn::jwt::sweep(n) != 0) return -1;
    } catch (...) {
        return -1;
    }
    if (removed) *removed = n;
    return 0;
}
