// users.json read without its lock: the three lookups, the role queries and the user listing.
// Each call parses the document afresh; the atomic replace of a save means it sees the document
// before or after a concurrent change, never a partial one.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <string_view>

#include "accounts/users_store.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "id_accounts.h"

namespace tarn {

namespace users {

void fill_user(const Value& user, id_user& out) {
    std::memset(&out, 0, sizeof out);
    json::copy_text(out.id, sizeof out.id, json::str(user, "id"));
    json::copy_text(out.username, sizeof out.username, json::str(user, "username"));
    json::copy_text(out.email, sizeof out.email, json::str(user, "email"));
    json::copy_text(out.pass_hash, sizeof out.pass_hash, json::str(user, "pass_hash"));
    json::copy_text(out.role, sizeof out.role, role_name(json::str(user, "role")));
    out.created = json::int_or_zero(user, "created");
    out.last_login = json::int_or_zero(user, "last_login");
}

}  // namespace users

namespace {

// users.json parsed into `doc`; false when it is missing, unreadable, invalid or not an array.
bool load_users(Document& doc) {
    return load_document(users::kFile, doc) == LoadStatus::loaded && doc.IsArray();
}

// The lookups: 1 and `out` filled (when given) for the first user `find` returns, else 0 with
// `out` untouched. A null or empty key reads nothing. `failed` is the result when users.json
// exists but cannot be used (unreadable, invalid, not an array, or memory runs out): 0 for the
// written lookups, -1 for those that tell "no such user" from "cannot tell".
template <class Find>
int lookup(const char* key, id_user* out, Find&& find, int failed = 0) {
    if (!key || !*key) return 0;
    try {
        Document doc;
        const LoadStatus status = load_document(users::kFile, doc);
        if (status == LoadStatus::missing) return 0;
        if (status != LoadStatus::loaded || !doc.IsArray()) return failed;
        const Value* user = find(static_cast<const Value&>(doc), std::string_view(key));
        if (!user) return 0;
        if (out) users::fill_user(*user, *out);
        return 1;
    } catch (...) {
        return failed;
    }
}

int admin_count(const Value& root) {
    int count = 0;
    for (const Value& el : root.GetArray())
        if (el.IsObject() && users::is_admin(el)) ++count;
    return count;
}

// The listing of one user: the stored members it has, in the listing's order, never "pass_hash".
void list_user(const Value& user, JsonWriter<>& w) {
    w.StartObject();
    for (const char* name : {"id", "username", "email"}) {
        const Value* v = json::member(user, name);
        if (!v || !v->IsString()) continue;
        w.Key(name);
        w.String(v->GetString(), v->GetStringLength());
    }
    w.Key("role");
    w.String(users::role_name(json::str(user, "role")));
    for (const char* name : {"created", "last_login"}) {
        const Value* v = json::member(user, name);
        if (!v) continue;
        w.Key(name);
        w.Int64(json::int_value(v));
    }
    w.EndObject();
}

char* list_json() {
    JsonBuffer buf;
    JsonWriter<> w(buf);
    w.StartArray();
    Document doc;
    if (load_users(doc))
        for (const Value& el : doc.GetArray())
            if (el.IsObject()) list_user(el, w);
    w.EndArray();
    return heap_text(std::string_view(buf.GetString(), buf.GetSize()));
}

}  // namespace
}  // namespace tarn

using namespace tarn;

extern "C" {

const char* id_role_name(const char* role) { return users::role_name(role ? role : ""); }

int id_user_find_by_id(const char* id, id_user* out) {
    return lookup(id, out, [](const Value& root, std::string_view key) { return users::find_by_id(root, key); });
}

int id_user_lookup_by_id(const char* id, id_user* out) {
    return lookup(id, out, [](const Value& root, std::string_view key) { return users::find_by_id(root, key); }, -1);
}

int id_user_lookup_by_username_ci(const char* username, id_user* out) {
    return lookup(
        username, out, [](const Value& root, std::string_view key) { return users::find_by_username_ci(root, key); },
        -1);
}

int id_user_find_by_username(const char* username, id_user* out) {
    return lookup(username, out, [](const Value& root, std::string_view key) {
        return users::first_user(root, [key](const Value& u) { return json::str_is(u, "username", key); });
    });
}

int id_user_find_by_username_ci(const char* username, id_user* out) {
    return lookup(username, out, [](const Value& root, std::string_view key) {
        return users::find_by_username_ci(root, key);
    });
}

int id_user_is_admin_by_id(const char* id) {
    id_user user;
    return id_user_find_by_id(id, &user) && std::strcmp(user.role, "user") != 0;
}

int id_user_admin_count(void) {
    try {
        Document doc;
        return load_users(doc) ? admin_count(doc) : 0;
    } catch (...) {
        return 0;
    }
}

int id_user_is_last_admin(const char* id) {
    if (!id || !*id) return 0;
    try {
        // One parse answers both questions, from one version of the document.
        Document doc;
        if (!load_users(doc)) return 0;
        const Value* user = users::find_by_id(static_cast<const Value&>(doc), id);
        return user && users::is_admin(*user) && admin_count(doc) == 1;
    } catch (...) {
        return 0;
    }
}

char* id_user_list_json(void) {
    try {
        return list_json();
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
