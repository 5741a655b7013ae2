// keys.json: the input is stored as keys.json of a scratch data directory and the key store loads
// it as a fresh process would. The random source never works here, so no key pair is ever made:
// a keys.json that does not parse stays as it is and loading fails. Checked against a reference
// reading of the document (and reference_rsa.hpp for the keys in it):
// - the load result; every table entry (kid cut at a NUL and to 23 bytes at a character
//   boundary, created, status, the key bytes) and "active";
// - the inspection reports each entry as the table would take it, usable as the reference
//   allows, before anything is loaded, changing nothing;
// - a failed load leaves keys.json byte for byte and nothing beside it but its lock file, and
//   every operation fails;
// - the listing names every entry in table order;
// - the key set publishes, in table order, exactly the entries whose key's numbers agree and
//   whose kid is the fingerprint of the key, with that modulus and exponent; a lookup by kid
//   finds the first entry of that kid when it is usable, with its own numbers;
// - a token signed with the active key verifies with OpenSSL under the key the set publishes
//   for its kid, names that kid and carries the payload given; without a usable active key,
//   signing fails; with one, it fails only when p or q is not prime;
// - a rotation fails (no key pair can be made) and changes nothing; pruning retired keys older
//   than 30 days removes exactly those, never the one "active" names, and saves what is kept:
//   every element of "keys" the table did not take (unusable, or beyond the eighth key) as it
//   was and where it stood, each kept entry in the place of the element it was read from.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference_codecs.hpp"
#include "fuzz/reference_rsa.hpp"
#include "id_foundation.h"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"

using namespace tarn::fuzz;
namespace keys = tarn::keys;

namespace {

constexpr std::int64_t kNow = 1700000000;  // the clock of every run: results do not depend on the day
constexpr std::int32_t kPruneDays = 30;
constexpr std::string_view kPayload = R"({"sub":"fuzz","n":1})";

std::int64_t fixed_clock() { return kNow; }
br_prng_seeder no_seeder(const char**) { return nullptr; }

using Bytes = std::vector<unsigned char>;

struct RefKey {
    std::string kid;
    std::int64_t created = 0;
    std::int32_t status = 2;
    Bytes der;
    std::size_t source = 0;  // index of its element in "keys"
};

struct RefTable {
    int result = -1;  // what loading returns
    std::string active;
    std::vector<RefKey> keys;
};

// A string member as a 24-byte kid field holds it: up to a NUL inside it, then as many whole
// UTF-8 characters as fit in 23 bytes.
std::string kid_text(const tarn::Value& v) {
    const std::string_view all = text_of(v);
    const std::string_view s = all.substr(0, all.find('\0'));
    std::size_t keep = 0;
    while (keep < s.size()) {
        const auto lead = static_cast<unsigned char>(s[keep]);
        const std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (keep + len > keys::kKidCap - 1) break;
        keep += len;
    }
    return std::string(s.substr(0, keep));
}

bool is_text(const tarn::Value* v, std::string_view text) { return v && v->IsString() && text_of(*v) == text; }

// A creation time: an integer at its full width, any other number truncated toward zero and held
// within the 64-bit range, anything else 0.
std::int64_t created_of(const tarn::Value* v) {
    if (!v || !v->IsNumber()) return 0;
    if (v->IsInt64()) return v->GetInt64();
    if (v->IsUint64()) return std::numeric_limits<std::int64_t>::max();
    const double d = std::trunc(v->GetDouble());
    if (d <= -0x1p63) return std::numeric_limits<std::int64_t>::min();
    if (d >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(d);
}

RefTable reference_read(const tarn::Value& root) {
    RefTable t;
    if (!root.IsObject()) return t;
    if (const tarn::Value* a = first_member(root, "active"); a && a->IsString()) t.active = kid_text(*a);
    const tarn::Value* list = first_member(root, "keys");
    if (!list || !list->IsArray()) return t;
    for (rapidjson::SizeType at = 0; at < list->Size(); ++at) {
        if (t.keys.size() == ID_KEYS_MAX) break;
        const tarn::Value& el = (*list)[at];
        if (!el.IsObject()) continue;
        const tarn::Value* kid = first_member(el, "kid");
        const tarn::Value* der = first_member(el, "priv_der_b64");
        const tarn::Value* alg = first_member(el, "alg");
        if (!kid || !kid->IsString() || !der || !der->IsString()) continue;
        if (alg && alg->IsString() && !is_text(alg, "RS256")) continue;
        if (text_of(*der).empty() || text_of(*der).size() > 4096) continue;
        Base64Result bytes = reference_base64_decode(text_of(*der));
        if (!bytes.ok) continue;
        if (bytes.bytes.size() > sizeof(id_key_entry::der)) bytes.bytes.resize(sizeof(id_key_entry::der));
        t.keys.push_back({kid_text(*kid), created_of(first_member(el, "created")),
                          is_text(first_member(el, "status"), "active") ? 1 : 2,
                          Bytes(bytes.bytes.begin(), bytes.bytes.end()), at});
    }
    t.result = t.keys.empty() ? -1 : 0;
    return t;
}

// Whether the key of an entry may, or must, be used: its numbers agree (reference_rsa.hpp) and
// its kid is the key's fingerprint. Judged once per distinct entry.
struct Usability {
    bool must = false;
    bool may = false;
    Bytes n, e;
};

Usability usability(const RefKey& k) {
    static std::map<std::pair<std::string, Bytes>, Usability> judged;
    auto id = std::make_pair(k.kid, k.der);
    if (auto it = judged.find(id); it != judged.end()) return it->second;
    Usability u;
    DerKey ints{};
    if (walk_rsa_der(k.der.data(), k.der.size(), ints)) {
        const KeyVerdict v = judge_rsa_key(ints);
        if (v.may && reference_kid(v.n, v.e) == k.kid) u = {v.must, v.may, v.n, v.e};
    }
    if (judged.size() > 4096) judged.clear();
    return judged[id] = u;
}

// Where the kid `kid` is first found in the table, or -1.
int first_with_kid(const RefTable& t, const std::string& kid) {
    for (std::size_t i = 0; i < t.keys.size(); ++i)
        if (t.keys[i].kid == kid) return static_cast<int>(i);
    return -1;
}

void check_table_is(const RefTable& want) {
    const keys::KeyTable& t = keys::g_table;
    FUZZ_CHECK(t.nkeys == static_cast<std::int32_t>(want.keys.size()));
    FUZZ_CHECK(std::memchr(t.active_kid, '\0', sizeof t.active_kid) != nullptr);
    FUZZ_CHECK(want.active == t.active_kid);
    for (std::size_t i = 0; i < want.keys.size(); ++i) {
        const id_key_entry& e = t.keys[i];
        const RefKey& k = want.keys[i];
        FUZZ_CHECK(std::memchr(e.kid, '\0', sizeof e.kid) != nullptr);
        FUZZ_CHECK(k.kid == e.kid);
        FUZZ_CHECK(std::strcmp(e.alg, "RS256") == 0);
        FUZZ_CHECK(e.created == k.created);
        FUZZ_CHECK(e.status == k.status);
        FUZZ_CHECK(e.has_private == 1);
        FUZZ_CHECK(e.der_len == k.der.size());
        FUZZ_CHECK(k.der.empty() || std::memcmp(e.der, k.der.data(), k.der.size()) == 0);
    }
}

// A heap text handed out by the store, parsed; aborts unless it is JSON.
void take_json(char* text, tarn::Document& doc) {
    FUZZ_CHECK(text != nullptr);
    const bool parsed = tarn::parse_json(text, doc);
    id_free(text);
    FUZZ_CHECK(parsed);
}

// The names of an object's members, in order.
std::vector<std::string_view> member_names(const tarn::Value& o) {
    std::vector<std::string_view> names;
    for (const auto& m : o.GetObject()) names.push_back(text_of(m.name));
    return names;
}

// The listing names every entry in table order, with its created time and status.
void check_listing(const RefTable& want) {
    tarn::Document doc;
    take_json(id_keys_list_json(), doc);
    FUZZ_CHECK(doc.IsArray() && doc.Size() == want.keys.size());
    for (std::size_t i = 0; i < want.keys.size(); ++i) {
        const tarn::Value& o = doc[static_cast<rapidjson::SizeType>(i)];
        FUZZ_CHECK(o.IsObject());
        FUZZ_CHECK((member_names(o) == std::vector<std::string_view>{"kid", "created", "alg", "status"}));
        FUZZ_CHECK(is_text(first_member(o, "kid"), want.keys[i].kid));
        const tarn::Value* created = first_member(o, "created");
        FUZZ_CHECK(created->IsInt64() && created->GetInt64() == want.keys[i].created);
        FUZZ_CHECK(is_text(first_member(o, "alg"), "RS256"));
        FUZZ_CHECK(is_text(first_member(o, "status"), want.keys[i].status == 1 ? "active" : "retired"));
    }
}

Bytes base64url_bytes(const tarn::Value* v) {
    FUZZ_CHECK(v && v->IsString());
    const Base64Result r = reference_base64_decode(text_of(*v));
    FUZZ_CHECK(r.ok);
    return Bytes(r.bytes.begin(), r.bytes.end());
}

// The key set publishes, in table order, every entry found usable and no other, each under its
// kid with its own modulus and exponent. Returns the published keys by kid (the first of a kid).
std::map<std::string, std::pair<Bytes, Bytes>> check_key_set(const RefTable& want) {
    tarn::Document doc;
    take_json(id_keys_jwks_json(), doc);
    FUZZ_CHECK(doc.IsArray());
    std::map<std::string, std::pair<Bytes, Bytes>> published;
    rapidjson::SizeType next = 0;
    for (std::size_t i = 0; i < want.keys.size(); ++i) {
        const RefKey& k = want.keys[i];
        const Usability u = usability(k);
        const bool used = next < doc.Size() && is_text(first_member(doc[next], "kid"), k.kid) &&
                          u.may;  // a kid may repeat: publication is judged by the entry's key
        FUZZ_CHECK(used || !u.must);
        if (!used) continue;
        const tarn::Value& o = doc[next++];
        FUZZ_CHECK((member_names(o) == std::vector<std::string_view>{"kty", "use", "alg", "kid", "n", "e"}));
        FUZZ_CHECK(is_text(first_member(o, "kty"), "RSA") && is_text(first_member(o, "use"), "sig") &&
                   is_text(first_member(o, "alg"), "RS256"));
        FUZZ_CHECK(base64url_bytes(first_member(o, "n")) == u.n);
        FUZZ_CHECK(base64url_bytes(first_member(o, "e")) == u.e);
        published.emplace(k.kid, std::make_pair(u.n, u.e));
    }
    FUZZ_CHECK(next == doc.Size());
    return published;
}

// A lookup by kid takes the first entry of that kid, and finds it only when it is usable; the
// views it hands out are that key's numbers.
void check_lookups(const RefTable& want) {
    std::set<std::string> tried;
    for (const RefKey& k : want.keys) {
        if (k.kid.empty() || !tried.insert(k.kid).second) continue;  // "" is never looked up
        const br_rsa_private_key* sk = nullptr;
        const br_rsa_public_key* pk = nullptr;
        const int found = id_keys_find(k.kid.c_str(), &sk, &pk);
        const Usability u = usability(k);  // k is the first entry of its kid
        FUZZ_CHECK(found == 0 || found == -1);
        FUZZ_CHECK(found == -1 || u.may);
        FUZZ_CHECK(found == 0 || !u.must);
        if (found != 0) continue;
        FUZZ_CHECK(Bytes(pk->n, pk->n + pk->nlen) == u.n && Bytes(pk->e, pk->e + pk->elen) == u.e);
        DerKey ints{};
        FUZZ_CHECK(walk_rsa_der(k.der.data(), k.der.size(), ints));
        FUZZ_CHECK(sk->n_bitlen == 2048);
        FUZZ_CHECK(Bytes(sk->p, sk->p + sk->plen) == magnitude(ints[kP]).bytes());
        FUZZ_CHECK(Bytes(sk->q, sk->q + sk->qlen) == magnitude(ints[kQ]).bytes());
        FUZZ_CHECK(Bytes(sk->dp, sk->dp + sk->dplen) == magnitude(ints[kDp]).bytes());
        FUZZ_CHECK(Bytes(sk->dq, sk->dq + sk->dqlen) == magnitude(ints[kDq]).bytes());
        FUZZ_CHECK(Bytes(sk->iq, sk->iq + sk->iqlen) == magnitude(ints[kIq]).bytes());
    }
}

// ---- the independent verifier: OpenSSL ----

BIGNUM* bignum(const Bytes& b) { return BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr); }

// RSASSA-PKCS1-v1_5 with SHA-256 of `input` under the public key (n, e), by OpenSSL.
bool rs256_verifies(const Bytes& n, const Bytes& e, std::string_view input, const Bytes& sig) {
    BIGNUM* bn_n = bignum(n);
    BIGNUM* bn_e = bignum(e);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn_n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, bn_e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    const bool made = pctx && params && EVP_PKEY_fromdata_init(pctx) == 1 &&
                      EVP_PKEY_fromdata(pctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    const bool ok = made && md && EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(md, sig.data(), sig.size(), reinterpret_cast<const unsigned char*>(input.data()),
                                     input.size()) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(pctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bn_e);
    BN_free(bn_n);
    return ok;
}

bool is_prime(const Bytes& b) {
    BIGNUM* bn = bignum(b);
    const bool prime = BN_check_prime(bn, nullptr, nullptr) == 1;
    BN_free(bn);
    return prime;
}

std::string text(const Base64Result& r) { return std::string(r.bytes.begin(), r.bytes.end()); }

// The active key is the first entry named by "active", when it is marked active and usable. A
// token signed with it verifies under the key published for its kid; each active key is tried
// once per process (a signature costs milliseconds, and most inputs differ from the last
// elsewhere).
void check_signing(const RefTable& want, const std::map<std::string, std::pair<Bytes, Bytes>>& published) {
    const int at = want.active.empty() ? -1 : first_with_kid(want, want.active);
    const RefKey* active = at < 0 || want.keys[at].status != 1 ? nullptr : &want.keys[at];
    const Usability u = active ? usability(*active) : Usability{};

    static std::set<std::pair<std::string, Bytes>> signed_with;
    if (active && u.may) {
        if (signed_with.size() > 4096) signed_with.clear();
        if (!signed_with.insert({active->kid, active->der}).second) return;
    }
    std::vector<char> token(4096, 'x');
    const int rc = id_jwt_sign_rs256(std::string(kPayload).c_str(), token.data(), token.size());
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(token[0] == '\0');
        if (!u.must) return;  // no usable active key
        // A key whose numbers agree signs unless p or q is not prime (then CRT signing goes
        // wrong, and the store's own check of the signature refuses it).
        DerKey ints{};
        FUZZ_CHECK(walk_rsa_der(active->der.data(), active->der.size(), ints));
        FUZZ_CHECK(!is_prime(magnitude(ints[kP]).bytes()) || !is_prime(magnitude(ints[kQ]).bytes()));
        return;
    }
    FUZZ_CHECK(active && u.may);
    const std::string_view jwt(token.data());
    const std::size_t dot1 = jwt.find('.');
    const std::size_t dot2 = jwt.rfind('.');
    FUZZ_CHECK(dot1 != std::string_view::npos && dot2 != dot1);
    FUZZ_CHECK(text(reference_base64_decode(jwt.substr(0, dot1))) ==
               R"({"alg":"RS256","typ":"JWT","kid":")" + active->kid + "\"}");
    FUZZ_CHECK(text(reference_base64_decode(jwt.substr(dot1 + 1, dot2 - dot1 - 1))) == kPayload);
    const Base64Result sig = reference_base64_decode(jwt.substr(dot2 + 1));
    FUZZ_CHECK(sig.ok && sig.bytes.size() == 256);
    const auto key = published.find(active->kid);
    FUZZ_CHECK(key != published.end());
    FUZZ_CHECK(rs256_verifies(key->second.first, key->second.second, jwt.substr(0, dot2),
                              Bytes(sig.bytes.begin(), sig.bytes.end())));
}

std::string g_work;
std::string g_data;
std::string g_keys_path;

std::string keys_json() {
    std::string text;
    FUZZ_CHECK(tarn::read_file(g_keys_path.c_str(), text) == tarn::ReadStatus::ok);
    return text;
}

// Nothing but keys.json and its lock file is left in the data directory.
// The operator's inspection, before anything is loaded: keys.json as the table would take it,
// each entry usable as the reference allows, the count of usable entries, no published file, and
// nothing read into the table, changed or made.
void check_inspection(const RefTable& want, std::string_view text) {
    tarn::Document doc;
    take_json(id_keys_inspect_json(), doc);
    FUZZ_CHECK(doc.IsObject());
    tarn::Document parsed;
    const bool parses = tarn::parse_json(text, parsed);
    FUZZ_CHECK(is_text(first_member(doc, "state"), parses ? "read" : "invalid"));
    const tarn::Value* keys = first_member(doc, "keys");
    const tarn::Value* usable = first_member(doc, "usable");
    FUZZ_CHECK(keys && keys->IsArray() && usable && usable->IsInt());
    const tarn::Value* published = first_member(doc, "jwks_file");
    FUZZ_CHECK(published && is_text(first_member(*published, "state"), "none"));
    if (want.result != 0) {
        FUZZ_CHECK(keys->Size() == 0 && usable->GetInt() == 0);
        return;
    }
    FUZZ_CHECK(is_text(first_member(doc, "active"), want.active));
    FUZZ_CHECK(keys->Size() == want.keys.size());
    int count = 0;
    for (rapidjson::SizeType i = 0; i < keys->Size(); ++i) {
        const tarn::Value& k = (*keys)[i];
        const RefKey& r = want.keys[i];
        const tarn::Value* good = first_member(k, "usable");
        const tarn::Value* created = first_member(k, "created");
        FUZZ_CHECK(is_text(first_member(k, "kid"), r.kid));
        FUZZ_CHECK(created && created->IsInt64() && created->GetInt64() == r.created);
        FUZZ_CHECK(is_text(first_member(k, "status"), r.status == 1 ? "active" : "retired"));
        FUZZ_CHECK(good && good->IsBool());
        const Usability u = usability(r);
        FUZZ_CHECK(!good->GetBool() || u.may);
        FUZZ_CHECK(good->GetBool() || !u.must);
        count += good->GetBool();
    }
    FUZZ_CHECK(usable->GetInt() == count);
    FUZZ_CHECK(keys_json() == text);
}

void check_nothing_else() {
    for (const auto& entry : std::filesystem::directory_iterator(g_data)) {
        const std::string name = entry.path().filename().string();
        FUZZ_CHECK(name == "keys.json" || name == "keys.json.lock");
    }
}

// A rotation cannot make a key pair here: it fails and leaves the file and the table alone.
void check_rotation_fails(const RefTable& loaded, std::string_view original) {
    FUZZ_CHECK(id_keys_rotate() == -1);
    check_table_is(loaded);
    FUZZ_CHECK(keys_json() == original);
}

// A saved key object: the five members in the written order, from the entry.
void check_saved_entry(const tarn::Value& o, const RefKey& k) {
    FUZZ_CHECK(o.IsObject());
    FUZZ_CHECK((member_names(o) == std::vector<std::string_view>{"kid", "created", "alg", "priv_der_b64", "status"}));
    FUZZ_CHECK(is_text(first_member(o, "kid"), k.kid));
    const tarn::Value* created = first_member(o, "created");
    FUZZ_CHECK(created->IsInt64() && created->GetInt64() == k.created);
    FUZZ_CHECK(is_text(first_member(o, "alg"), "RS256"));
    FUZZ_CHECK(base64url_bytes(first_member(o, "priv_der_b64")) == k.der);
    FUZZ_CHECK(is_text(first_member(o, "status"), k.status == 1 ? "active" : "retired"));
}

void check_prune(const RefTable& loaded, std::string_view original) {
    const std::int64_t cutoff = kNow - std::int64_t{kPruneDays} * 86400;
    RefTable kept = loaded;
    kept.keys.clear();
    int removed = 0;
    for (const RefKey& k : loaded.keys) {
        if (k.status == 2 && k.created < cutoff && k.kid != loaded.active) {
            ++removed;
        } else {
            kept.keys.push_back(k);
        }
    }
    FUZZ_CHECK(id_keys_prune(kPruneDays) == removed);
    check_table_is(kept);
    const std::string saved_text = keys_json();
    if (removed == 0) {
        FUZZ_CHECK(saved_text == original);  // nothing saved
        return;
    }
    tarn::Document saved;
    FUZZ_CHECK(tarn::parse_json(saved_text, saved));
    FUZZ_CHECK(saved.IsObject());
    FUZZ_CHECK((member_names(saved) == std::vector<std::string_view>{"active", "keys"}));
    FUZZ_CHECK(is_text(first_member(saved, "active"), kept.active));
    tarn::Document before;
    FUZZ_CHECK(tarn::parse_json(original, before));
    const tarn::Value& was = *first_member(before, "keys");
    const tarn::Value& now = *first_member(saved, "keys");
    FUZZ_CHECK(now.IsArray());
    // Element by element: one the table did not take comes back as it was; one it took comes back
    // as its entry, or not at all when pruned.
    rapidjson::SizeType out = 0;
    std::size_t next_kept = 0;
    std::size_t next_loaded = 0;
    for (rapidjson::SizeType at = 0; at < was.Size(); ++at) {
        const bool taken = next_loaded < loaded.keys.size() && loaded.keys[next_loaded].source == at;
        if (!taken) {
            FUZZ_CHECK(out < now.Size() && same_value(now[out], was[at]));
            ++out;
            continue;
        }
        ++next_loaded;
        if (next_kept < kept.keys.size() && kept.keys[next_kept].source == at) {
            FUZZ_CHECK(out < now.Size());
            check_saved_entry(now[out++], kept.keys[next_kept++]);
        }
    }
    FUZZ_CHECK(out == now.Size() && next_kept == kept.keys.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"IDENTITY_PORT", "IDENTITY_ADMIN_SECRET", "IDENTITY_BASE_URL", "IDENTITY_JWKS_FILE", "HTTP_HOST"})
        ::unsetenv(name);
    g_work = scratch_dir("keys");
    g_data = g_work + "/data";
    ::setenv("IDENTITY_DATA_DIR", g_data.c_str(), 1);
    g_keys_path = g_data + "/keys.json";
    tarn::testing::set_clock(fixed_clock);
    keys::testing::set_seeder_lookup(no_seeder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    tarn::Document doc;
    const RefTable want = tarn::parse_json(text, doc) ? reference_read(doc) : RefTable{};

    InDirectory here(g_work);  // no config.json in the working directory
    keys::testing::reset_table();
    id_config cfg;
    id_get_config(&cfg);  // creates the data directory
    write_whole_file(g_keys_path, text);

    check_inspection(want, text);
    FUZZ_CHECK(id_keys_load_or_create() == want.result);
    if (want.result != 0) {
        FUZZ_CHECK(id_keys_list_json() == nullptr);
        FUZZ_CHECK(id_keys_jwks_json() == nullptr);
        FUZZ_CHECK(id_keys_prune(kPruneDays) == -1);
        FUZZ_CHECK(id_keys_rotate() == -1);
        char token[8] = "x";
        FUZZ_CHECK(id_jwt_sign_rs256("{}", token, sizeof token) == -1 && token[0] == '\0');
        FUZZ_CHECK(keys_json() == text);
    } else {
        check_table_is(want);
        check_listing(want);
        const auto published = check_key_set(want);
        check_lookups(want);
        check_signing(want, published);
        check_rotation_fails(want, text);
        check_prune(want, text);
    }
    check_nothing_else();
    FUZZ_CHECK(keys::testing::generated_count() == 0);
    return 0;
}
