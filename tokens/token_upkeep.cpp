// What leaves tokens.json besides the operations' own removals: records that can no longer be
// used (the exchanged tokens of ended families at every save; expired records too once the file
// has grown past kShedAbove, and always on a sweep), and the grants of a deleted user, whose
// identifier is then marked so that no grant racing the deletion is stored after it.
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "id_foundation.h"
#include "id_tokens.h"
#include "tokens/grants.hpp"
#include "tokens/token_store.hpp"

namespace tarn::tokens {
namespace {

// The family an exchanged or active record belongs to as reuse detection reads it: its stored
// "family", or its own token when it has none.
std::string_view family_of(const Value& record) {
    const std::string_view family = json::str(record, "family");
    return family.empty() ? json::str(record, "token") : family;
}

bool has_token(const Value& record) {
    const Value* token = json::member(record, "token");
    return token && token->IsString();
}

// Removes the members of `section` (when it is an object) that are not objects or expired.
std::size_t drop_expired_members(Value* section, std::int64_t now) {
    if (!section || !section->IsObject()) return 0;
    return erase_members_if(*section, [now](std::string_view, const Value& record) {
        return !record.IsObject() || expired(record, now);
    });
}

// std::hash of the text. Being local, it gives the set below internal linkage, so that none of
// the standard library's out-of-line code for it is exported from the shared library.
struct FamilyHash {
    std::size_t operator()(std::string_view family) const { return std::hash<std::string_view>()(family); }
};

using Families = std::unordered_set<std::string_view, FamilyHash>;

// The families of the active records: reuse detection and family revocation remove the active
// records whose stored "family" is the exchanged token's or code's family.
Families active_families(const Value& refresh) {
    Families active;
    active.reserve(refresh.Size());
    for (const Value& record : refresh.GetArray()) {
        const std::string_view family = json::str(record, "family");
        if (!family.empty()) active.insert(family);
    }
    return active;
}

// Keeps the exchanged tokens and codes whose presentation could end something; `dropped` gets
// the counts.
void drop_ended_families(Document& doc, std::int64_t now, Dropped& dropped) {
    Value* rotated = member_mut(doc, kRotated);
    Value* codes = member_mut(doc, kExchangedCodes);
    const bool any_rotated = rotated && rotated->IsArray() && !rotated->Empty();
    const bool any_codes = codes && codes->IsObject() && codes->MemberCount() > 0;
    const Value* refresh = json::member(doc, kRefresh);
    if ((!any_rotated && !any_codes) || !refresh || !refresh->IsArray()) return;
    const Families active = active_families(*refresh);
    if (any_rotated)
        dropped.rotated = erase_elements_if(*rotated, [&active](const Value& record) {
            return !has_token(record) || !active.contains(family_of(record));
        });
    if (any_codes)
        dropped.exchanged_codes = erase_members_if(*codes, [&active, now](std::string_view, const Value& record) {
            return !record.IsObject() || expired(record, now) || !active.contains(json::str(record, "family"));
        });
}

}  // namespace

LoadStatus load_measured(const DocFile& file, Document& doc, std::size_t& bytes) {
    Snapshot snapshot;
    const LoadStatus status = load_snapshot(file, snapshot);
    bytes = snapshot.text.size();
    doc.Swap(snapshot.doc);
    return status;
}

Dropped drop_unusable(Document& doc, std::int64_t now, bool expired_too) {
    Dropped dropped;
    if (!doc.IsObject()) return dropped;
    if (expired_too) {
        dropped.sessions = drop_expired_members(member_mut(doc, kSessions), now);
        dropped.auth_codes = drop_expired_members(member_mut(doc, kAuthCodes), now);
        dropped.deleted_users = drop_expired_members(member_mut(doc, kDeletedUsers), now);
        if (Value* refresh = member_mut(doc, kRefresh); refresh && refresh->IsArray())
            dropped.refresh = erase_elements_if(*refresh, [now](const Value& record) {
                return !has_token(record) || expired(record, now);
            });
    }
    drop_ended_families(doc, now, dropped);
    return dropped;
}

bool refused_user(const Value& root, std::string_view user_id, std::int64_t now) {
    if (user_id.empty()) return false;
    const Value* marks = json::member(root, kDeletedUsers);
    if (!marks || !marks->IsObject()) return false;
    const Value* mark = json::member(*marks, user_id);
    return mark && mark->IsObject() && !expired(*mark, now);
}

int end_user_grants(std::string_view user_id, bool mark) {
    return change_tokens([&](Document& doc) {
        auto of_user = [user_id](const Value& record) { return json::str_is(record, "user_id", user_id); };
        auto member_of_user = [&of_user](std::string_view, const Value& record) { return of_user(record); };
        std::size_t changed = 0;
        for (const char* section : {kSessions, kAuthCodes})
            if (Value* records = member_mut(doc, section); records->IsObject())
                changed += erase_members_if(*records, member_of_user);
        if (Value* refresh = member_mut(doc, kRefresh); refresh->IsArray())
            changed += erase_elements_if(*refresh, of_user);
        if (mark) {
            auto& a = doc.GetAllocator();
            const std::int64_t until = later(now_seconds(), ID_DELETED_USER_HOLD);
            if (!json::member(doc, kDeletedUsers))
                doc.AddMember(rapidjson::StringRef(kDeletedUsers), Value(rapidjson::kObjectType), a);
            Value* marks = member_mut(doc, kDeletedUsers);
            if (!marks->IsObject()) return Outcome::unchanged(-1);  // the deletion could not hold
            Value* existing = member_mut(*marks, user_id);
            if (!existing || !existing->IsObject() || json::int_or_zero(*existing, "expires_at") != until) {
                Value record(rapidjson::kObjectType);
                record.AddMember("expires_at", Value(until), a);
                if (existing) *existing = record;
                else marks->AddMember(json::copy(user_id, doc), record, a);
                ++changed;
            }
        }
        return changed ? Outcome::saved(0) : Outcome::unchanged(0);
    });
}

long long end_grants_of_gone_users(const ReadUserIds& read_users) {
    long long removed = 0;
    const int result = change_document(kTokensFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool) {
        UserIds users;
        if (!read_users(users)) return Outcome::unchanged(-1);
        auto gone = [&users](const Value& record) {
            const std::string_view user = json::str(record, "user_id");
            return !user.empty() && !users.contains(user);
        };
        if (!doc.IsObject()) return Outcome::unchanged(0);  // missing (null), or no store to sweep
        for (const char* section : {kSessions, kAuthCodes})
            if (Value* records = member_mut(doc, section); records && records->IsObject())
                removed += static_cast<long long>(
                    erase_members_if(*records, [&gone](std::string_view, const Value& r) { return gone(r); }));
        if (Value* refresh = member_mut(doc, kRefresh); refresh && refresh->IsArray())
            removed += static_cast<long long>(erase_elements_if(*refresh, gone));
        if (removed) {
            Dropped dropped;
            drop_ended_families(doc, now_seconds(), dropped);
        }
        return removed ? Outcome::saved(0) : Outcome::unchanged(0);
    });
    return result == 0 ? removed : -1;
}

}  // namespace tarn::tokens

using namespace tarn::tokens;

extern "C" {

int id_tokens_sweep(id_tokens_swept* out) {
    if (out) *out = id_tokens_swept{};
    Dropped dropped;
    const int result = guarded(-1, [&] {
        return tarn::change_document(kTokensFile, ID_LOCK_RETRIES, tarn::Unreadable::fail,
                                     [&](tarn::Document& doc, bool) {
                                         dropped = drop_unusable(doc, tarn::now_seconds(), true);
                                         return dropped.total() ? tarn::Outcome::saved(0) : tarn::Outcome::unchanged(0);
                                     });
    });
    if (result == 0 && out)
        *out = id_tokens_swept{dropped.sessions, dropped.auth_codes + dropped.exchanged_codes, dropped.refresh,
                               dropped.rotated, dropped.deleted_users};
    return result;
}

}  // extern "C"
