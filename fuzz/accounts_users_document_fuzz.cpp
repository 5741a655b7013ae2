// users.json as a stored file: the input is written as users.json of a scratch data directory and
// read by every account operation that reads it. Checked against a reference reading written here
// from the rules (only objects are users, the first member of a name counts, texts that are not
// strings are empty, times that are not integers 0, roles normalised ignoring ASCII case):
// - the listing holds, per user in order, "id", "username", "email" (when strings), "role", and
//   "created", "last_login" (when present), never "pass_hash"; "[]" for anything but an array;
// - the administrator count; for the identifiers and usernames of the first users, and a
//   case-flipped form of each, the three lookups (the record filled with texts cut at a NUL and
//   at 255 bytes, or left untouched on a miss), is_admin_by_id and is_last_admin;
// - creation over a document that is not an array fails with -1 and leaves its bytes as they were
//   (over an array it would spend a derivation, so it is not run).
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "id_accounts.h"
#include "id_foundation.h"

using namespace tarn::fuzz;
using tarn::Value;

namespace {

std::string g_root;

std::string fold(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string flip_case(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        else if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string_view text_member(const Value& user, std::string_view name) {
    const Value* v = first_member(user, name);
    return v && v->IsString() ? text_of(*v) : std::string_view{};
}

std::string role_of(const Value& user) {
    const std::string r = fold(text_member(user, "role"));
    return r == "owner" || r == "admin" ? r : "user";
}

std::int64_t time_of(const Value* v) {
    if (v && v->IsInt64()) return v->GetInt64();
    if (v && v->IsUint64()) return INT64_MAX;
    return 0;
}

// A text as a C record holds it: up to a NUL inside it, and at most cap - 1 bytes.
std::string as_field(std::string_view s, std::size_t cap) {
    return std::string(s.substr(0, std::min(s.find('\0'), cap - 1)));
}

std::string c_text(const char* field, std::size_t cap) {
    const void* nul = std::memchr(field, '\0', cap);
    FUZZ_CHECK(nul != nullptr);
    return std::string(field, static_cast<const char*>(nul) - field);
}

void check_record(const id_user& got, const Value& user) {
    FUZZ_CHECK(c_text(got.id, sizeof got.id) == as_field(text_member(user, "id"), sizeof got.id));
    FUZZ_CHECK(c_text(got.username, sizeof got.username) == as_field(text_member(user, "username"), 256));
    FUZZ_CHECK(c_text(got.email, sizeof got.email) == as_field(text_member(user, "email"), 256));
    FUZZ_CHECK(c_text(got.pass_hash, sizeof got.pass_hash) == as_field(text_member(user, "pass_hash"), 256));
    FUZZ_CHECK(c_text(got.role, sizeof got.role) == role_of(user));
    FUZZ_CHECK(got.created == time_of(first_member(user, "created")));
    FUZZ_CHECK(got.last_login == time_of(first_member(user, "last_login")));
}

template <class Match>
const Value* first_user(const std::vector<const Value*>& users, Match match) {
    for (const Value* u : users)
        if (match(*u)) return u;
    return nullptr;
}

void check_lookup(int (*find)(const char*, id_user*), const std::string& key, const Value* want) {
    id_user got;
    std::memset(&got, 0x5A, sizeof got);
    const int found = find(key.c_str(), &got);
    FUZZ_CHECK(found == (want ? 1 : 0));
    if (want) {
        check_record(got, *want);
        return;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(&got);
    for (std::size_t i = 0; i < sizeof got; ++i) FUZZ_CHECK(bytes[i] == 0x5A);
}

void check_listing(const std::vector<const Value*>& users) {
    char* text = id_user_list_json();
    FUZZ_CHECK(text != nullptr);
    tarn::Document listed;
    FUZZ_CHECK(tarn::parse_json(text, listed) && listed.IsArray() && listed.Size() == users.size());
    id_free(text);
    for (std::size_t i = 0; i < users.size(); ++i) {
        const Value& user = *users[i];
        std::vector<std::pair<std::string, std::string>> want;  // member name, value as text
        for (const char* name : {"id", "username", "email"})
            if (const Value* v = first_member(user, name); v && v->IsString()) want.emplace_back(name, text_of(*v));
        want.emplace_back("role", role_of(user));
        for (const char* name : {"created", "last_login"})
            if (const Value* v = first_member(user, name)) want.emplace_back(name, std::to_string(time_of(v)));
        const Value& got = listed[static_cast<rapidjson::SizeType>(i)];
        FUZZ_CHECK(got.IsObject() && got.MemberCount() == want.size());
        std::size_t k = 0;
        for (const auto& m : got.GetObject()) {
            FUZZ_CHECK(text_of(m.name) == want[k].first);
            const std::string value = m.value.IsString() ? std::string(text_of(m.value))
                                      : m.value.IsInt64() ? std::to_string(m.value.GetInt64())
                                                          : "<other>";
            FUZZ_CHECK(value == want[k].second);
            ++k;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = scratch_dir("users");
    ::setenv("IDENTITY_DATA_DIR", (g_root + "/data").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    InDirectory here(g_root);  // no config.json is read but this empty directory's
    char path[1024];
    id_get_file_path("users.json", path, sizeof path);
    write_whole_file(path, file);

    tarn::Document doc;
    const bool array = tarn::parse_json(file, doc) && doc.IsArray();
    std::vector<const Value*> users;
    if (array)
        for (const Value& el : doc.GetArray())
            if (el.IsObject()) users.push_back(&el);

    check_listing(users);
    int admins = 0;
    for (const Value* u : users) admins += role_of(*u) != "user";
    FUZZ_CHECK(id_user_admin_count() == admins);

    for (std::size_t i = 0; i < users.size() && i < 3; ++i) {
        for (const std::string& raw : {std::string(text_member(*users[i], "id")), flip_case(text_member(*users[i], "id"))}) {
            const std::string key = raw.c_str();  // as a C caller passes it
            const Value* want =
                key.empty() ? nullptr : first_user(users, [&](const Value& u) { const Value* v = first_member(u, "id"); return v && v->IsString() && text_of(*v) == key; });
            check_lookup(id_user_find_by_id, key, want);
            const bool admin = want && role_of(*want) != "user";
            FUZZ_CHECK(id_user_is_admin_by_id(key.c_str()) == (admin ? 1 : 0));
            FUZZ_CHECK(id_user_is_last_admin(key.c_str()) == (admin && admins == 1 ? 1 : 0));
        }
        for (const std::string& raw : {std::string(text_member(*users[i], "username")), flip_case(text_member(*users[i], "username"))}) {
            const std::string key = raw.c_str();
            const Value* exact = key.empty() ? nullptr : first_user(users, [&](const Value& u) {
                const Value* v = first_member(u, "username");
                return v && v->IsString() && text_of(*v) == key;
            });
            const Value* folded = key.empty() ? nullptr : first_user(users, [&](const Value& u) {
                const Value* v = first_member(u, "username");
                return v && v->IsString() && fold(text_of(*v)) == fold(key);
            });
            check_lookup(id_user_find_by_username, key, exact);
            check_lookup(id_user_find_by_username_ci, key, folded);
        }
    }

    if (!array) {
        FUZZ_CHECK(id_user_create("fuzz", "password1", nullptr, nullptr, 0) == -1);
        std::string after;
        FUZZ_CHECK(tarn::read_file(path, after) == tarn::ReadStatus::ok && after == file);
    }
    return 0;
}
