// users.json: the account records, their lookups and roles.
#include <cstring>
#include <string_view>

#include "core/document.hpp"
#include "core/json_read.hpp"
#include "identity_common.h"

namespace tarn {
namespace {

constexpr std::string_view kUsersFile = "users.json";

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

const char* role_name(std::string_view role) {
    if (equal_ignoring_ascii_case(role, "owner")) return "owner";
    if (equal_ignoring_ascii_case(role, "admin")) return "admin";
    return "user";
}

void fill_user(const Value& obj, id_user& out) {
    std::memset(&out, 0, sizeof out);
    json::copy_text(out.id, sizeof out.id, json::str(obj, "id"));
    json::copy_text(out.username, sizeof out.username, json::str(obj, "username"));
    json::copy_text(out.email, sizeof out.email, json::str(obj, "email"));
    json::copy_text(out.pass_hash, sizeof out.pass_hash, json::str(obj, "pass_hash"));
    json::copy_text(out.role, sizeof out.role, role_name(json::str(obj, "role")));
    out.created = json::int_or_zero(obj, "created");
    out.last_login = json::int_or_zero(obj, "last_login");
}

// The first user object of users.json for which `match` holds, copied into `out`.
template <class Match>
int find_user(id_user* out, Match&& match) {
    Document doc;
    if (load_document(kUsersFile, doc) != LoadStatus::loaded || !doc.IsArray()) return 0;
    for (const Value& el : doc.GetArray()) {
        if (!el.IsObject() || !match(el)) continue;
        if (out) fill_user(el, *out);
        return 1;
    }
    return 0;
}

template <class Match>
int find_user_safely(const char* key, id_user* out, Match&& match) {
    if (!key || !*key) return 0;
    try {
        return find_user(out, std::forward<Match>(match));
    } catch (...) {
        return 0;
    }
}

}  // namespace
}  // namespace tarn

using namespace tarn;

extern "C" {

const char* id_role_name(const char* role) { return role_name(role ? role : ""); }

int id_user_find_by_id(const char* id, id_user* out) {
    return find_user_safely(id, out, [id](const Value& u) { return json::str_is(u, "id", id); });
}

int id_user_find_by_username(const char* username, id_user* out) {
    return find_user_safely(username, out,
                            [username](const Value& u) { return json::str_is(u, "username", username); });
}

int id_user_find_by_username_ci(const char* username, id_user* out) {
    return find_user_safely(username, out, [username](const Value& u) {
        const Value* name = json::member(u, "username");
        return name && name->IsString() && equal_ignoring_ascii_case(json::text(*name), username);
    });
}

}  // extern "C"
