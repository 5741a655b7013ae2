// clients.json: registration with the redirect URI rule, lookup, the secret and redirect URI
// checks, the listing with secrets masked, and deletion.
#include <cstring>
#include <string>
#include <string_view>

#include "clients/clients.hpp"
#include "foundation/ascii.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "foundation/scope_list.hpp"
#include "id_clients.h"
#include "id_foundation.h"
#include "tarn_cgi.h"
#include "tarn_crypto.h"

namespace tarn::clients {
namespace {

constexpr std::string_view kClientsFile = "clients.json";
constexpr const char* kDefaultScopes = "openid profile";

constexpr std::size_t kClientIdLength = 18;  // "client_" and 8 random bytes in base64url
constexpr std::size_t kSecretLength = 26;    // "sec_" and 16 random bytes in base64url
constexpr std::size_t kSecretPrefixChars = 8;
// A redirect URI must fit a record's 256-byte field whole: one cut to fit would be matched by
// every URI that is its prefix.
constexpr std::size_t kMaxRedirectUri = sizeof(id_client::redirect_uris[0]) - 1;

constexpr const char* kMissingInput = "missing name or redirect_uri";
constexpr const char* kNotAbsolute = "redirect_uri must be an absolute http:// or https:// URL";
constexpr const char* kWhitespace = "redirect_uri must not contain whitespace";
constexpr const char* kFragment = "redirect_uri must not contain a fragment (#...)";
constexpr const char* kTooLong = "redirect_uri must be at most 255 bytes";
constexpr const char* kTooMany = "at most 8 redirect URIs";
static_assert(ID_CLIENT_MAX_REDIRECT_URIS == 8, "kTooMany names the limit");

// True when `text` begins with `scheme` (lower-case letters, compared ignoring ASCII case)
// followed by "://" exactly.
bool has_scheme(std::string_view text, std::string_view scheme) {
    return ascii::starts_with_ignoring_case(text, scheme) && text.substr(scheme.size(), 3) == "://";
}

const char* redirect_uri_problem(const char* redirect_uri) {
    if (!redirect_uri || !*redirect_uri) return kNotAbsolute;
    const std::string_view uri(redirect_uri);
    std::size_t authority;
    if (has_scheme(uri, "http")) {
        authority = 7;
    } else if (has_scheme(uri, "https")) {
        authority = 8;
    } else {
        return kNotAbsolute;
    }
    for (const char ch : uri) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F) return kWhitespace;
    }
    if (uri.find('#') != std::string_view::npos) return kFragment;
    if (authority == uri.size() || uri[authority] == '/' || uri[authority] == ':' || uri[authority] == '?')
        return kNotAbsolute;
    if (uri.size() > kMaxRedirectUri) return kTooLong;
    return nullptr;
}

// A buffer the caller gave for a value of `length` bytes; false when it cannot hold it whole.
bool fits(const char* buf, std::size_t cap, std::size_t length) { return !buf || cap == 0 || cap > length; }

void copy_out(char* buf, std::size_t cap, const char* value) {
    if (buf && cap) tarn_strlcpy(buf, value, cap);
}

// "<prefix>" followed by a random token of `nbytes` bytes; false when randomness fails.
bool draw_identifier(std::string_view prefix, std::size_t nbytes, char* out, std::size_t cap) {
    std::memcpy(out, prefix.data(), prefix.size());
    return tarn_random_token(out + prefix.size(), cap - prefix.size(), nbytes) == 0;
}

// A stored redirect URI as the record holds it: whole, or "" (which matches nothing).
std::string_view loadable_uri(const Value& v) {
    if (!v.IsString()) return {};
    const std::string_view uri = json::text(v);
    if (uri.size() > kMaxRedirectUri || uri.find('\0') != std::string_view::npos) return {};
    return uri;
}

void fill_client(const Value& obj, const char* client_id, id_client& out) {
    std::memset(&out, 0, sizeof out);
    tarn_strlcpy(out.client_id, client_id, sizeof out.client_id);
    json::copy_text(out.name, sizeof out.name, json::str(obj, "name"));
    json::copy_text(out.secret, sizeof out.secret, json::str(obj, "secret"));
    if (const Value* uris = json::member(obj, "redirect_uris"); uris && uris->IsArray()) {
        for (const Value& uri : uris->GetArray()) {
            if (out.redirect_uri_count == ID_CLIENT_MAX_REDIRECT_URIS) break;
            json::copy_text(out.redirect_uris[out.redirect_uri_count], sizeof out.redirect_uris[0],
                            loadable_uri(uri));
            ++out.redirect_uri_count;
        }
    }
    scopes::copy_list(out.scopes, sizeof out.scopes, json::str(obj, "scopes"));
    const Value* is_public = json::member(obj, "public");
    out.is_public = is_public && is_public->IsTrue();
}

int create_client(const char* name, const char* const* redirect_uris, std::size_t count, const char* scopes,
                  char* client_id_out, std::size_t client_id_cap, char* secret_out, std::size_t secret_cap,
                  bool is_public, char* msg, std::size_t msg_cap) {
    Message message(msg, msg_cap);
    if (!name || !*name || !redirect_uris || count == 0) {
        message.set(kMissingInput);
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!redirect_uris[i] || !*redirect_uris[i]) {
            message.set(kMissingInput);
            return -1;
        }
    }
    if (count > ID_CLIENT_MAX_REDIRECT_URIS) {
        message.set(kTooMany);
        return -3;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (const char* problem = redirect_uri_problem(redirect_uris[i])) {
            message.set(problem);
            return -3;
        }
    }
    // The secret is handed out only here: a client whose identifier or secret the caller cannot
    // receive whole is not registered at all.
    if (!fits(client_id_out, client_id_cap, kClientIdLength) ||
        (!is_public && !fits(secret_out, secret_cap, kSecretLength)))
        return -1;

    char client_id[kClientIdLength + 1];
    char secret[kSecretLength + 1] = "";
    if (!draw_identifier("client_", 8, client_id, sizeof client_id)) return -1;
    if (!is_public && !draw_identifier("sec_", 16, secret, sizeof secret)) return -1;
    const char* stored_scopes = (scopes && *scopes) ? scopes : kDefaultScopes;

    const int result = change_document(kClientsFile, ID_LOCK_RETRIES, Unreadable::fail,
                                       [&](Document& doc, bool existed) {
        if (!existed) {
            doc.SetArray();
        } else if (!doc.IsArray()) {
            return Outcome::unchanged(-1);  // never replace clients we cannot read
        }
        auto& a = doc.GetAllocator();
        Value client(rapidjson::kObjectType);
        client.AddMember("client_id", json::copy(client_id, doc), a);
        client.AddMember("name", json::copy(name, doc), a);
        if (is_public) {
            client.AddMember("public", true, a);
        } else {
            client.AddMember("secret", json::copy(secret, doc), a);
        }
        client.AddMember("scopes", json::copy(stored_scopes, doc), a);
        Value uris(rapidjson::kArrayType);
        for (std::size_t i = 0; i < count; ++i) uris.PushBack(json::copy(redirect_uris[i], doc), a);
        client.AddMember("redirect_uris", uris, a);
        doc.PushBack(client, a);
        return Outcome::saved(0);
    });
    if (result != 0) return -1;
    copy_out(client_id_out, client_id_cap, client_id);
    copy_out(secret_out, secret_cap, secret);
    return 0;
}

// 1 found, 0 not found (also no clients.json); `failed` when clients.json exists but cannot be
// used.
int find_client(const char* client_id, id_client* out, int failed = 0) {
    Document doc;
    const LoadStatus status = load_document(kClientsFile, doc);
    if (status == LoadStatus::missing) return 0;
    if (status != LoadStatus::loaded || !doc.IsArray()) return failed;
    for (const Value& el : doc.GetArray()) {
        if (!el.IsObject() || !json::str_is(el, "client_id", client_id)) continue;
        if (out) fill_client(el, client_id, *out);
        return 1;
    }
    return 0;
}

// The first `count` characters (not bytes) of valid UTF-8 text.
std::string_view first_chars(std::string_view text, std::size_t count) {
    std::size_t end = 0;
    std::size_t chars = 0;
    for (; end < text.size(); ++end) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) continue;  // inside a character
        if (chars == count) break;
        ++chars;
    }
    return text.substr(0, end);
}

// Replaces every "secret" of a client object by a "secret_prefix" at the end, and adds
// "public": false where "public" is missing.
void mask(Value& client, Document& doc) {
    const Value* secret = json::member(client, "secret");
    std::string prefix;
    if (secret && secret->IsString()) prefix = first_chars(json::text(*secret), kSecretPrefixChars);
    for (auto it = client.MemberBegin(); it != client.MemberEnd();) {
        if (json::text(it->name) == "secret") {
            it = client.EraseMember(it);
        } else {
            ++it;
        }
    }
    auto& a = doc.GetAllocator();
    client.AddMember("secret_prefix", json::copy(prefix, doc), a);
    if (!json::member(client, "public")) client.AddMember("public", false, a);
}

char* list_json() {
    Document doc;
    std::string text = "[]";
    if (load_document(kClientsFile, doc) == LoadStatus::loaded && doc.IsArray()) {
        Value listing(rapidjson::kArrayType);
        for (Value& el : doc.GetArray()) {
            if (!el.IsObject()) continue;
            mask(el, doc);
            listing.PushBack(el, doc.GetAllocator());  // moves the object
        }
        if (!write_json(listing, false, text)) text = "[]";
    }
    return heap_text(text);
}

int delete_client(const char* client_id) {
    return change_document(kClientsFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool existed) {
        if (!existed || !doc.IsArray()) return Outcome::unchanged(-1);
        for (auto it = doc.Begin(); it != doc.End(); ++it) {
            if (it->IsObject() && json::str_is(*it, "client_id", client_id)) {
                doc.Erase(it);  // the others keep their order
                return Outcome::saved(0);
            }
        }
        return Outcome::unchanged(-1);
    });
}

}  // namespace
}  // namespace tarn::clients

using namespace tarn::clients;

extern "C" {

int id_redirect_uri_check(const char* redirect_uri, char* msg, size_t msg_cap) {
    Message message(msg, msg_cap);
    if (const char* problem = redirect_uri_problem(redirect_uri)) {
        message.set(problem);
        return -3;
    }
    return 0;
}

int id_client_create(const char* name, const char* redirect_uri, const char* scopes, char* client_id_out,
                     size_t client_id_cap, char* secret_out, size_t secret_cap, int is_public, char* msg,
                     size_t msg_cap) {
    try {
        return create_client(name, &redirect_uri, 1, scopes, client_id_out, client_id_cap, secret_out,
                             secret_cap, is_public != 0, msg, msg_cap);
    } catch (...) {
        return -1;
    }
}

int id_client_create_v(const char* name, const char* const* redirect_uris, size_t count, const char* scopes,
                       char* client_id_out, size_t client_id_cap, char* secret_out, size_t secret_cap,
                       int is_public, char* msg, size_t msg_cap) {
    try {
        return create_client(name, redirect_uris, count, scopes, client_id_out, client_id_cap, secret_out,
                             secret_cap, is_public != 0, msg, msg_cap);
    } catch (...) {
        return -1;
    }
}

int id_client_find_by_id(const char* client_id, id_client* out) {
    if (!client_id || !*client_id) return 0;
    try {
        return find_client(client_id, out);
    } catch (...) {
        return 0;
    }
}

int id_client_lookup_by_id(const char* client_id, id_client* out) {
    if (!client_id || !*client_id) return 0;
    try {
        return find_client(client_id, out, -1);
    } catch (...) {
        return -1;
    }
}

int id_client_verify_secret(const id_client* client, const char* secret) {
    if (!client || !secret || !*secret) return 0;
    const std::size_t stored = strnlen(client->secret, sizeof client->secret);
    if (stored == 0) return 0;  // a client without a secret never verifies one
    return tarn_ct_equal(secret, std::strlen(secret), client->secret, stored);
}

int id_client_validate_redirect_uri(const id_client* client, const char* redirect_uri) {
    if (!client || !redirect_uri || !*redirect_uri) return 0;
    const std::string_view wanted(redirect_uri);
    const int count = client->redirect_uri_count;
    for (int i = 0; i < count && i < ID_CLIENT_MAX_REDIRECT_URIS; ++i) {
        const char* uri = client->redirect_uris[i];
        if (std::string_view(uri, strnlen(uri, sizeof client->redirect_uris[i])) == wanted) return 1;
    }
    return 0;
}

char* id_client_list_json(void) {
    try {
        return list_json();
    } catch (...) {
        return nullptr;
    }
}

int id_client_delete(const char* client_id) {
    if (!client_id || !*client_id) return -1;
    try {
        return delete_client(client_id);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
