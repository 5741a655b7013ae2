// consents.json: the scopes each user granted each client, checked, merged, revoked and listed.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>
#include <string_view>

#include "consent/consents.hpp"
#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_edit.hpp"
#include "foundation/json_read.hpp"
#include "foundation/scope_list.hpp"
#include "id_consent.h"
#include "id_foundation.h"

namespace tarn {
namespace {

using scopes::for_each_scope;
using scopes::kMaxScopeText;
using scopes::scope_list_has;

constexpr std::string_view kConsentsFile = "consents.json";

bool given(const char* s) { return s && *s; }

// A stored text as a C caller sees it: up to its first NUL.
std::string_view until_nul(std::string_view s) { return s.substr(0, s.find('\0')); }

// A stored scope list cut to 255 bytes. A cut inside a name drops the rest of that name too: its
// first bytes may spell another scope (a cut "admin_readonly" would grant "admin").
std::string_view stored_list(std::string_view list) {
    list = until_nul(list);
    if (list.size() <= kMaxScopeText) return list;
    std::size_t end = kMaxScopeText;
    while (end > 0 && !scopes::is_separator(list[end])) --end;
    return list.substr(0, end);
}

// The consent record of a user for a client in a parsed consents.json, or nullptr.
const Value* find_consent(const Value& root, std::string_view user_id, std::string_view client_id) {
    const Value* user = json::member(root, user_id);
    const Value* record = user ? json::member(*user, client_id) : nullptr;
    return (record && record->IsObject()) ? record : nullptr;
}

bool covers(std::string_view user_id, std::string_view client_id, std::string_view requested) {
    Document doc;
    if (load_document(kConsentsFile, doc) != LoadStatus::loaded) return false;
    const Value* record = find_consent(doc, user_id, client_id);
    if (!record) return false;
    const std::string_view granted = until_nul(json::str(*record, "scopes"));
    return for_each_scope(requested, [granted](std::string_view name) {
        return name.size() <= kMaxScopeText && scope_list_has(granted, name);
    });
}

// The existing list with the names of `grant` it lacks appended, within 255 bytes.
std::string merge(std::string_view existing, std::string_view grant) {
    std::string list(existing);
    for_each_scope(grant, [&list](std::string_view name) {
        if (name.size() > kMaxScopeText || scope_list_has(list, name)) return true;
        if (list.size() + name.size() + 2 > kMaxScopeText) return false;
        if (!list.empty()) list.push_back(' ');
        list.append(name);
        return true;
    });
    return list;
}

// The object of `user_id` in the root, appended empty when the root has none (or one of another
// type, which goes).
Value& user_object(Document& doc, std::string_view user_id) {
    if (Value* user = json::member(doc, user_id); user && user->IsObject())
        return *user;
    json::erase_members_if(doc, [user_id](const Value& name, const Value&) { return json::text(name) == user_id; });
    doc.AddMember(json::copy(user_id, doc), Value(rapidjson::kObjectType), doc.GetAllocator());
    return (doc.MemberEnd() - 1)->value;
}

int set(std::string_view user_id, std::string_view client_id, std::string_view grant) {
    return change_document(kConsentsFile, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool) {
        if (!doc.IsObject()) doc.SetObject();
        Value& user = user_object(doc, user_id);
        std::string_view existing;
        if (const Value* old = json::member(user, client_id)) existing = stored_list(json::str(*old, "scopes"));
        const std::string list = merge(existing, grant);
        json::erase_members_if(user, [client_id](const Value& name, const Value&) { return json::text(name) == client_id; });
        auto& a = doc.GetAllocator();
        Value record(rapidjson::kObjectType);
        record.AddMember("scopes", json::copy(list, doc), a);
        record.AddMember("granted", Value(static_cast<std::int64_t>(now_seconds())), a);
        user.AddMember(json::copy(client_id, doc), record, a);
        return Outcome::saved();
    });
}

int revoke(std::string_view user_id, std::string_view client_id) {
    return change_document(kConsentsFile, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool existed) {
        if (!existed) return Outcome::unchanged();  // missing or unparseable: nothing to revoke
        if (Value* user = json::member(doc, user_id); user && user->IsObject())
            json::erase_members_if(*user, [client_id](const Value& name, const Value&) { return json::text(name) == client_id; });
        return Outcome::saved();
    });
}

char* list_json() {
    Document doc;
    if (load_document(kConsentsFile, doc) != LoadStatus::loaded || !doc.IsObject()) return heap_text("[]");
    JsonBuffer buf;
    JsonWriter<> out(buf);
    out.StartArray();
    for (const auto& user : doc.GetObject()) {
        if (!user.value.IsObject()) continue;
        for (const auto& client : user.value.GetObject()) {
            if (!client.value.IsObject()) continue;
            const std::string_view scopes = json::str(client.value, "scopes");
            out.StartObject();
            out.Key("user_id");
            out.String(user.name.GetString(), user.name.GetStringLength());
            out.Key("client_id");
            out.String(client.name.GetString(), client.name.GetStringLength());
            out.Key("scopes");
            out.String(scopes.data(), static_cast<rapidjson::SizeType>(scopes.size()));
            out.Key("granted");
            out.Int64(json::int_or_zero(client.value, "granted"));
            out.EndObject();
        }
    }
    out.EndArray();
    return heap_text(std::string_view(buf.GetString(), buf.GetSize()));
}

}  // namespace

namespace consent {

long long end_consents_of_gone_users(const ReadUserIds& read_users) {
    long long removed = 0;
    const int result = change_document(kConsentsFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool) {
        UserIds users;
        if (!read_users(users)) return Outcome::unchanged(-1);
        if (!doc.IsObject()) return Outcome::unchanged(0);
        bool changed = false;  // a gone user's empty object goes too, counting no consent
        json::erase_members_if(doc, [&](const Value& name, const Value& grants) {
            if (users.contains(json::text(name))) return false;
            removed += grants.IsObject() ? static_cast<long long>(grants.MemberCount()) : 0;
            changed = true;
            return true;
        });
        return changed ? Outcome::saved(0) : Outcome::unchanged(0);
    });
    return result == 0 ? removed : -1;
}

}  // namespace consent
}  // namespace tarn

using namespace tarn;

extern "C" {

int id_consent_covers(const char* user_id, const char* client_id, const char* requested) {
    if (!given(user_id) || !given(client_id)) return 0;
    try {
        return covers(user_id, client_id, scopes::view(requested)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int id_consent_set(const char* user_id, const char* client_id, const char* scopes) {
    if (!given(user_id) || !given(client_id)) return -1;
    try {
        return set(user_id, client_id, scopes::view(scopes));
    } catch (...) {
        return -1;
    }
}

int id_consent_revoke(const char* user_id, const char* client_id) {
    if (!given(user_id) || !given(client_id)) return -1;
    try {
        return revoke(user_id, client_id);
    } catch (...) {
        return -1;
    }
}

char* id_consent_list_json(void) {
    try {
        return list_json();
    } catch (...) {
        return heap_text("[]");
    }
}

}  // extern "C"
