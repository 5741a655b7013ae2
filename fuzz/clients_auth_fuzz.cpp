// Client authentication: the input is an Authorization header, client id and secret parameters,
// a redirect URI and a clients.json. Checked against references written from the rules:
// - id_parse_basic_auth: "Basic ", blanks, base64 of either alphabet cut at 511 bytes and ending at
//   a NUL, split at the first ":"; outputs cut to their capacity and untouched on failure;
// - id_client_find_by_id: the first object whose first "client_id" is the id, read leniently
//   (texts cut at 255 bytes or a NUL; redirect URIs that do not fit whole read as "");
// - id_authenticate_client: result, message, header flag and record for every path (Basic
//   credentials tried form-urldecoded, then as they came), with
//   nothing written past any buffer and the record untouched on failure; a stored client
//   authenticates with Basic credentials percent-encoded as RFC 6749 2.3.1 has clients send them;
// - id_client_verify_secret, id_client_validate_redirect_uri and id_redirect_uri_check;
// - id_client_list_json: one object per stored object, members in stored order with every
//   "secret" replaced by a trailing "secret_prefix" of its first 8 characters, "public": false
//   added where missing.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/document.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference_codecs.hpp"
#include "id_clients.h"
#include "id_foundation.h"
#include "id_request.h"
#include "tarn_crypto.h"

using namespace tarn::fuzz;

namespace {

constexpr const char* kMissing = "Missing client identification";
constexpr const char* kFailed = "Client authentication failed: unknown client or bad client_secret";
constexpr const char* kPublic = "public client must not authenticate with a secret";

std::string g_work;
std::string g_data;

std::string c_text(std::string_view s) { return std::string(s.substr(0, s.find('\0'))); }
// A text as a 256-byte record field or working buffer holds it.
std::string field(std::string_view s) { return c_text(s).substr(0, 255); }

struct Credentials {
    std::string id, secret;
};

std::optional<Credentials> basic(const std::optional<std::string>& header) {
    if (!header || header->compare(0, 6, "Basic ") != 0) return std::nullopt;
    std::size_t p = 6;
    while (p < header->size() && (*header)[p] == ' ') ++p;
    const Base64Result decoded = reference_base64_decode(std::string_view(*header).substr(p));
    if (!decoded.ok) return std::nullopt;
    std::string text(decoded.bytes.begin(), decoded.bytes.end());
    text = c_text(text.substr(0, 511));
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    return Credentials{text.substr(0, colon), text.substr(colon + 1)};
}

struct Client {
    std::string id, name, secret, scopes;
    std::vector<std::string> uris;
    bool is_public = false;
};

std::string string_member(const tarn::Value& obj, std::string_view name) {
    const tarn::Value* v = first_member(obj, name);
    return v && v->IsString() ? field(text_of(*v)) : "";
}

std::optional<Client> find(const tarn::Document* store, const std::string& id) {
    if (!store || id.empty() || !store->IsArray()) return std::nullopt;
    for (const tarn::Value& el : store->GetArray()) {
        if (!el.IsObject()) continue;
        const tarn::Value* v = first_member(el, "client_id");
        if (!v || !v->IsString() || text_of(*v) != id) continue;
        const tarn::Value* scopes = first_member(el, "scopes");
        Client c{field(id), string_member(el, "name"), string_member(el, "secret"),
                 scope_list_in_record(scopes && scopes->IsString() ? text_of(*scopes) : "", 256), {}, false};
        if (const tarn::Value* uris = first_member(el, "redirect_uris"); uris && uris->IsArray()) {
            for (const tarn::Value& u : uris->GetArray()) {
                if (c.uris.size() == 8) break;
                const bool whole =
                    u.IsString() && text_of(u).size() <= 255 && text_of(u).find('\0') == std::string_view::npos;
                c.uris.push_back(whole ? std::string(text_of(u)) : "");
            }
        }
        const tarn::Value* pub = first_member(el, "public");
        c.is_public = pub && pub->IsBool() && pub->GetBool();
        return c;
    }
    return std::nullopt;
}

const char* redirect_problem(const std::string& uri) {
    constexpr const char* kAbsolute = "redirect_uri must be an absolute http:// or https:// URL";
    std::string head = uri.substr(0, 8);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t authority;
    if (head.compare(0, 8, "https://") == 0) {
        authority = 8;
    } else if (head.compare(0, 7, "http://") == 0) {
        authority = 7;
    } else {
        return kAbsolute;
    }
    for (unsigned char c : uri)
        if ((c >= 1 && c <= 0x20) || c == 0x7F) return "redirect_uri must not contain whitespace";
    if (uri.find('#') != std::string::npos) return "redirect_uri must not contain a fragment (#...)";
    if (authority == uri.size() || std::strchr("/:?", uri[authority])) return kAbsolute;
    if (uri.size() > 255) return "redirect_uri must be at most 255 bytes";
    return nullptr;
}

struct Decision {
    int result;
    const char* message;
    int from_header;
    std::optional<Client> client;
};

// application/x-www-form-urlencoded decoding: "+" a space, "%" and two hex digits that byte,
// any other byte as it is; nullopt when a NUL byte comes out.
std::optional<std::string> unescaped(const std::string& s) {
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) && hex(s[i + 2])) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    if (out.find('\0') != std::string::npos) return std::nullopt;
    return out;
}

std::string percent_all(std::string_view s) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : s) {
        out.push_back('%');
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

Decision authenticate(const tarn::Document* store, const std::optional<std::string>& id_param,
                      const std::optional<std::string>& secret_param, const std::optional<std::string>& header) {
    std::string id = id_param ? field(*id_param) : "";
    std::string secret = secret_param ? field(*secret_param) : "";
    int from_header = 0;
    if (id.empty()) {
        if (const std::optional<Credentials> b = basic(header)) {
            id = field(b->id);
            secret = field(b->secret);
            from_header = 1;
        }
    }
    if (id.empty()) return {-1, kMissing, from_header, std::nullopt};
    // From the header, the decoded form first, then the text as it came.
    std::vector<std::string> ids, secrets;
    for (auto [text, forms] : {std::pair{&id, &ids}, std::pair{&secret, &secrets}}) {
        if (const std::optional<std::string> d = unescaped(*text); from_header && d) forms->push_back(*d);
        forms->push_back(*text);
    }
    std::optional<Client> c;
    for (const std::string& candidate : ids)
        if (!c) c = find(store, candidate);
    if (!c) return {-1, kFailed, from_header, std::nullopt};
    if (c->is_public && secret.empty()) return {0, "", from_header, c};
    if (c->is_public && c->secret.empty()) return {-1, kPublic, from_header, std::nullopt};
    for (const std::string& candidate : secrets)
        if (!candidate.empty() && !c->secret.empty() && candidate == c->secret) return {0, "", from_header, c};
    return {-1, kFailed, from_header, std::nullopt};
}

void check_record(const id_client& out, const Client& want) {
    FUZZ_CHECK(out.client_id == want.id && out.name == want.name && out.secret == want.secret &&
               out.scopes == want.scopes && out.is_public == want.is_public);
    FUZZ_CHECK(out.redirect_uri_count == static_cast<int>(want.uris.size()));
    for (std::size_t i = 0; i < want.uris.size(); ++i) FUZZ_CHECK(out.redirect_uris[i] == want.uris[i]);
}

// A text handed to a buffer of `cap` bytes: cut to cap - 1 and terminated, nothing past it.
void check_cut(ExactBuffer& buf, const std::string& text) {
    if (buf.cap() == 0) {
        FUZZ_CHECK(buf.untouched_from(0));
        return;
    }
    const std::size_t n = std::min(text.size(), buf.cap() - 1);
    FUZZ_CHECK(std::memcmp(buf.chars(), text.data(), n) == 0 && buf.chars()[n] == '\0');
    FUZZ_CHECK(buf.untouched_from(n + 1));
}

// The first `count` characters of UTF-8 text.
std::string first_chars(std::string_view s, std::size_t count) {
    std::size_t chars = 0, i = 0;
    for (; i < s.size(); ++i) {
        const bool starts = (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
        if (starts && chars++ == count) break;
    }
    return std::string(s.substr(0, i));
}

void check_listing(const tarn::Document* store) {
    char* text = id_client_list_json();
    FUZZ_CHECK(text != nullptr);
    tarn::Document listing;
    FUZZ_CHECK(tarn::parse_json(text, listing) && listing.IsArray());
    std::free(text);
    std::vector<const tarn::Value*> objects;
    if (store && store->IsArray())
        for (const tarn::Value& el : store->GetArray())
            if (el.IsObject()) objects.push_back(&el);
    FUZZ_CHECK(listing.Size() == objects.size());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const tarn::Value& stored = *objects[i];
        const tarn::Value& listed = listing[static_cast<rapidjson::SizeType>(i)];
        FUZZ_CHECK(listed.IsObject());
        std::vector<std::pair<std::string_view, const tarn::Value*>> want;
        for (const auto& m : stored.GetObject())
            if (text_of(m.name) != "secret") want.emplace_back(text_of(m.name), &m.value);
        const tarn::Value* secret = first_member(stored, "secret");
        const std::string prefix = secret && secret->IsString() ? first_chars(text_of(*secret), 8) : "";
        const tarn::Value prefix_value(
            rapidjson::StringRef(prefix.data(), static_cast<rapidjson::SizeType>(prefix.size())));
        const tarn::Value no(false);
        want.emplace_back("secret_prefix", &prefix_value);
        if (!first_member(stored, "public")) want.emplace_back("public", &no);
        FUZZ_CHECK(listed.MemberCount() == want.size());
        std::size_t k = 0;
        for (const auto& m : listed.GetObject()) {
            FUZZ_CHECK(text_of(m.name) == want[k].first && m.value == *want[k].second);
            ++k;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"IDENTITY_PORT", "IDENTITY_ADMIN_SECRET", "IDENTITY_BASE_URL", "HTTP_HOST"})
        ::unsetenv(name);
    g_work = scratch_dir("client-auth");
    g_data = g_work + "/data";
    ::setenv("IDENTITY_DATA_DIR", g_data.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t flags = in.byte();
    const std::uint8_t caps = in.byte();
    const std::string id_text = c_text(in.until('\n'));
    const std::string secret_text = c_text(in.until('\n'));
    const std::string header_text = c_text(in.until('\n'));
    const std::string uri = c_text(in.until('\n'));
    const std::string_view store_text = in.rest();

    const std::optional<std::string> id_param = flags & 1 ? std::optional(id_text) : std::nullopt;
    const std::optional<std::string> secret_param = flags & 2 ? std::optional(secret_text) : std::nullopt;
    const std::optional<std::string> header = flags & 4 ? std::optional(header_text) : std::nullopt;
    const bool has_store = flags & 8;

    InDirectory here(g_work);
    if (!has_store) {
        ::unlink((g_data + "/clients.json").c_str());
    } else {
        char path[1024];
        id_get_file_path("clients.json", path, sizeof path);  // creates the data directory
        write_whole_file(path, store_text);
    }
    header ? ::setenv("HTTP_AUTHORIZATION", header->c_str(), 1) : ::unsetenv("HTTP_AUTHORIZATION");
    tarn::Document parsed;
    const tarn::Document* store = has_store && tarn::parse_json(store_text, parsed) ? &parsed : nullptr;

    // Basic credentials into buffers of every size.
    const std::optional<Credentials> creds = basic(header);
    ExactBuffer id_buf(pick_capacity(caps, creds ? creds->id.size() + 1 : 8));
    ExactBuffer secret_buf(pick_capacity(static_cast<std::uint8_t>(caps >> 2 | caps << 6),
                                         creds ? creds->secret.size() + 1 : 8));
    const int parsed_rc = id_parse_basic_auth(id_buf.chars(), id_buf.cap(), secret_buf.chars(), secret_buf.cap());
    FUZZ_CHECK(parsed_rc == (creds ? 0 : -1));
    if (creds) {
        check_cut(id_buf, creds->id);
        check_cut(secret_buf, creds->secret);
    } else {
        FUZZ_CHECK(id_buf.untouched_from(0) && secret_buf.untouched_from(0));
    }

    // The decision, its message and the record.
    const Decision want = authenticate(store, id_param, secret_param, header);
    id_client out;
    std::memset(&out, 0x5A, sizeof out);
    int from_header = 9;
    ExactBuffer msg(pick_capacity(static_cast<std::uint8_t>(caps >> 4), std::strlen(want.message) + 1));
    const int rc = id_authenticate_client(id_param ? id_param->c_str() : nullptr,
                                          secret_param ? secret_param->c_str() : nullptr, &out, &from_header,
                                          msg.chars(), msg.cap());
    FUZZ_CHECK(rc == want.result && from_header == want.from_header);
    check_cut(msg, want.message);
    if (want.client) {
        check_record(out, *want.client);
    } else {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&out);
        for (std::size_t i = 0; i < sizeof out; ++i) FUZZ_CHECK(p[i] == 0x5A);
    }

    // The lookup of the id parameter, and the checks on its record.
    const std::optional<Client> found = find(store, id_text);
    id_client rec;
    FUZZ_CHECK(id_client_find_by_id(id_text.c_str(), &rec) == (found ? 1 : 0));
    if (found) {
        check_record(rec, *found);
        bool listed = false;
        for (const std::string& u : found->uris) listed |= !uri.empty() && u == uri;
        FUZZ_CHECK(id_client_validate_redirect_uri(&rec, uri.c_str()) == (listed ? 1 : 0));
        const bool same = !secret_text.empty() && !found->secret.empty() && secret_text == found->secret;
        FUZZ_CHECK(id_client_verify_secret(&rec, secret_text.c_str()) == (same ? 1 : 0));
    }
    // Credentials as a client sends them (RFC 6749 2.3.1: each part percent-encoded, joined by
    // ":", base64): the stored client authenticates.
    if (found && !found->secret.empty() && id_text.size() <= 80 && found->secret.size() <= 80) {
        const std::string joined = percent_all(id_text) + ":" + percent_all(found->secret);
        std::string b64(joined.size() * 4 / 3 + 8, '\0');
        const int n = tarn_base64url_encode(joined.data(), joined.size(), b64.data(), b64.size());
        FUZZ_CHECK(n > 0);
        b64.resize(static_cast<std::size_t>(n));
        ::setenv("HTTP_AUTHORIZATION", ("Basic " + b64).c_str(), 1);
        int flag = 0;
        FUZZ_CHECK(id_authenticate_client(nullptr, nullptr, &rec, &flag, nullptr, 0) == 0 && flag == 1);
        FUZZ_CHECK(rec.client_id == found->id);
    }
    const char* problem = redirect_problem(uri);
    char rule_msg[128] = "stale";
    FUZZ_CHECK(id_redirect_uri_check(uri.c_str(), rule_msg, sizeof rule_msg) == (problem ? -3 : 0));
    FUZZ_CHECK(std::strcmp(rule_msg, problem ? problem : "") == 0);

    check_listing(has_store ? store : nullptr);
    return 0;
}
