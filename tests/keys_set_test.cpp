// The published key set, lookups and RS256 signing, checked against OpenSSL: the keys we publish
// are the ones OpenSSL reads from keys.json, our signatures verify with the published numbers and
// equal OpenSSL's own, and keys of the wrong size, type or kid are never published or used.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/clock.hpp"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::b64url;
using tarn::test::bn_param;
using tarn::test::sha256;
using tarn::test::take;

using Bytes = std::vector<unsigned char>;
using tarn::test::DataDirFixture;
using tarn::test::read_file;
using tarn::test::write_file;

Bytes unb64url(std::string text) {
    for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
    std::size_t pad = (4 - text.size() % 4) % 4;
    text.append(pad, '=');
    Bytes out(text.size() / 4 * 3 + 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    EXPECT_GE(n, 0) << text;
    out.resize(static_cast<std::size_t>(n < 0 ? 0 : n) - pad);
    return out;
}
std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct Pkey {
    EVP_PKEY* p = nullptr;
    Pkey() = default;
    explicit Pkey(EVP_PKEY* k) : p(k) {}
    Pkey(Pkey&& o) noexcept : p(o.p) { o.p = nullptr; }
    Pkey& operator=(Pkey&& o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    ~Pkey() { EVP_PKEY_free(p); }
};

Pkey from_der(const std::string& der_b64) {
    Bytes der = unb64url(der_b64);
    const unsigned char* p = der.data();
    return Pkey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

Bytes pkcs8_of(EVP_PKEY* k) {
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(k);
    unsigned char* buf = nullptr;
    int len = i2d_PKCS8_PRIV_KEY_INFO(info, &buf);
    Bytes out(buf, buf + len);
    OPENSSL_free(buf);
    PKCS8_PRIV_KEY_INFO_free(info);
    return out;
}

Bytes pkcs1_of(EVP_PKEY* k) {
    unsigned char* buf = nullptr;
    int len = i2d_PrivateKey(k, &buf);  // an RSA key's traditional form is RSAPrivateKey
    Bytes out(buf, buf + len);
    OPENSSL_free(buf);
    return out;
}

// DER length octets, as X.509 writes them.
Bytes der_length(std::size_t len) {
    if (len < 128) return {static_cast<unsigned char>(len)};
    if (len < 256) return {0x81, static_cast<unsigned char>(len)};
    return {0x82, static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
}

// The kid of an RSA key computed from OpenSSL's SubjectPublicKeyInfo: the AlgorithmIdentifier
// SEQUENCE header (30 0D) is dropped and the outer length fixed, then SHA-256, base64url, 16.
std::string kid_of(EVP_PKEY* k) {
    unsigned char* buf = nullptr;
    int len = i2d_PUBKEY(k, &buf);
    Bytes spki(buf, buf + len);
    OPENSSL_free(buf);
    std::size_t header = spki[1] < 0x80 ? 2 : 2 + (spki[1] & 0x7F);
    EXPECT_EQ(spki[header], 0x30);
    EXPECT_EQ(spki[header + 1], 0x0D);
    Bytes content(spki.begin() + static_cast<long>(header) + 2, spki.end());
    Bytes ours = {0x30};
    Bytes l = der_length(content.size());
    ours.insert(ours.end(), l.begin(), l.end());
    ours.insert(ours.end(), content.begin(), content.end());
    return b64url(sha256(ours.data(), ours.size())).substr(0, 16);
}

Pkey public_key(const Bytes& n, const Bytes& e);

int mod4(EVP_PKEY* k, const char* name) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(k, name, &bn);
    int r = (BN_is_bit_set(bn, 0) ? 1 : 0) + (BN_is_bit_set(bn, 1) ? 2 : 0);
    BN_free(bn);
    return r;
}

struct Stored {
    std::string kid;
    std::string der;  // base64url
    std::string status = "retired";
};

std::string keys_json(const std::string& active, const std::vector<Stored>& keys) {
    std::string s = "{\"active\":\"" + active + "\",\"keys\":[";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        s += (i ? "," : "") + std::string("{\"kid\":\"") + keys[i].kid + "\",\"created\":1,\"priv_der_b64\":\"" +
             keys[i].der + "\",\"status\":\"" + keys[i].status + "\"}";
    }
    return s + "]}";
}

// Keys made once per test program, each group when a test first needs it: two of ours
// (BearSSL), RSA keys of other sizes and an EC key made by OpenSSL, and an OpenSSL 2048-bit key.
struct Ours {
    Stored a, b;
};
const Ours& ours() {
    static Ours* p = [] {
        auto* out = new Ours;
        static id_key_entry e;
        if (id_key_generate(&e) != 0) std::abort();
        out->a = {e.kid, b64url(e.der, e.der_len)};
        if (id_key_generate(&e) != 0) std::abort();
        out->b = {e.kid, b64url(e.der, e.der_len)};
        return out;
    }();
    return *p;
}

struct OtherShapes {
    Stored rsa1024, rsa4096, ec;
};
const OtherShapes& other_shapes() {
    static OtherShapes* p = [] {
        auto* out = new OtherShapes;
        for (auto [bits, slot] : {std::pair{1024u, &out->rsa1024}, std::pair{4096u, &out->rsa4096}}) {
            Pkey k(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
            *slot = {kid_of(k.p), b64url(pkcs8_of(k.p))};
        }
        Pkey ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
        out->ec = {"ec-key", b64url(pkcs8_of(ec.p))};
        return out;
    }();
    return *p;
}

struct Foreign {
    Pkey key;
    Stored pkcs1;           // bare RSAPrivateKey
    Stored wrong_exponent;  // the same key stating another exponent, under that exponent's kid
};
const Foreign& foreign() {
    static Foreign* p = [] {
        auto* out = new Foreign;
        // A key whose primes are not both 3 mod 4, unlike every key BearSSL generates.
        do {
            out->key = Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
        } while (mod4(out->key.p, OSSL_PKEY_PARAM_RSA_FACTOR1) == 3 &&
                 mod4(out->key.p, OSSL_PKEY_PARAM_RSA_FACTOR2) == 3);
        Bytes der = pkcs1_of(out->key.p);
        out->pkcs1 = {kid_of(out->key.p), b64url(der)};
        Bytes n = bn_param(out->key.p, OSSL_PKEY_PARAM_RSA_N);
        Pkey liar = public_key(n, {0x01, 0x00, 0x03});
        Bytes e_field = {0x02, 0x03, 0x01, 0x00, 0x01};
        auto at = std::search(der.begin(), der.end(), e_field.begin(), e_field.end());
        if (at == der.end()) std::abort();
        at[4] = 0x03;
        out->wrong_exponent = {kid_of(liar.p), b64url(der)};
        return out;
    }();
    return *p;
}

// The JWK that OpenSSL's reading of the stored private key gives.
std::string jwk_of(const Stored& s) {
    Pkey k = from_der(s.der);
    EXPECT_NE(k.p, nullptr);
    return "{\"kty\":\"RSA\",\"use\":\"sig\",\"alg\":\"RS256\",\"kid\":\"" + s.kid + "\",\"n\":\"" +
           b64url(bn_param(k.p, OSSL_PKEY_PARAM_RSA_N)) + "\",\"e\":\"" +
           b64url(bn_param(k.p, OSSL_PKEY_PARAM_RSA_E)) + "\"}";
}

std::string member(const std::string& json, const std::string& name, std::size_t from = 0) {
    std::size_t at = json.find("\"" + name + "\":\"", from);
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return json.substr(at, json.find('"', at) - at);
}

// An RSA public key from published numbers, and RS256 verification with it.
Pkey public_key(const Bytes& n, const Bytes& e) {
    BIGNUM* bn_n = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* bn_e = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn_n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, bn_e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bn_n);
    BN_free(bn_e);
    return Pkey(key);
}

bool rs256_verifies(EVP_PKEY* key, const std::string& input, const Bytes& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, sig.data(), sig.size(),
                               reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

Bytes rs256_sign_openssl(EVP_PKEY* key, const std::string& input) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Bytes sig(512);
    std::size_t len = sig.size();
    EXPECT_EQ(EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(ctx, sig.data(), &len,
                             reinterpret_cast<const unsigned char*>(input.data()), input.size()), 1);
    EVP_MD_CTX_free(ctx);
    sig.resize(len);
    return sig;
}

std::vector<std::string> split(const std::string& token) {
    std::vector<std::string> parts;
    std::size_t start = 0, dot;
    while ((dot = token.find('.', start)) != std::string::npos) {
        parts.push_back(token.substr(start, dot - start));
        start = dot + 1;
    }
    parts.push_back(token.substr(start));
    return parts;
}

class KeySet : public ::testing::Test {
protected:
    void SetUp() override {
        tarn::keys::testing::reset_table();
    }
    void TearDown() override { tarn::keys::testing::reset_table(); }
    void store(const std::string& text) {
        std::filesystem::create_directories(data.dir());
        write_file(data.file("keys.json"), text);
    }
    DataDirFixture data;
};

TEST_F(KeySet, PublishesActiveAndRetiredKeysInTableOrder) {
    const Ours& p = ours();
    Stored a = p.a, b = p.b;
    b.status = "active";
    store(keys_json(b.kid, {a, b}));
    std::string set = take(id_keys_jwks_json());
    EXPECT_EQ(set, "[" + jwk_of(a) + "," + jwk_of(b) + "]");
    EXPECT_EQ(member(set, "n").size(), 342u);
    EXPECT_EQ(member(set, "e"), "AQAB");
    // Our kids are the fingerprints OpenSSL's view of the keys gives.
    EXPECT_EQ(kid_of(from_der(a.der).p), a.kid);
    EXPECT_EQ(kid_of(from_der(b.der).p), b.kid);

    const br_rsa_private_key* sk = nullptr;
    const br_rsa_public_key* pk = nullptr;
    char kid[24] = "";
    ASSERT_EQ(id_keys_get_active(&sk, &pk, kid), 0);
    EXPECT_EQ(std::string(kid), b.kid);
    EXPECT_EQ(sk->n_bitlen, 2048u);
    EXPECT_EQ(Bytes(pk->n, pk->n + pk->nlen), bn_param(from_der(b.der).p, OSSL_PKEY_PARAM_RSA_N));

    // Lookups by kid find retired keys too, with views of their own.
    const br_rsa_public_key* found = nullptr;
    ASSERT_EQ(id_keys_find(a.kid.c_str(), nullptr, &found), 0);
    EXPECT_EQ(Bytes(found->n, found->n + found->nlen), bn_param(from_der(a.der).p, OSSL_PKEY_PARAM_RSA_N));
    EXPECT_EQ(Bytes(pk->n, pk->n + pk->nlen), bn_param(from_der(b.der).p, OSSL_PKEY_PARAM_RSA_N))
        << "a lookup must not disturb the active key's views";
    ASSERT_EQ(id_keys_find(b.kid.c_str(), &sk, nullptr), 0);
    EXPECT_EQ(id_keys_find("", &sk, &found), -1);
    EXPECT_EQ(id_keys_find(nullptr, &sk, &found), -1);
    EXPECT_EQ(id_keys_find("AAAAAAAAAAAAAAAA", &sk, &found), -1);
    EXPECT_EQ(id_keys_get_active(nullptr, nullptr, nullptr), 0);
}

TEST_F(KeySet, UnusableEntriesAreNeitherPublishedNorFound) {
    const Ours& p = ours();
    const OtherShapes& o = other_shapes();
    const Foreign& f = foreign();
    Stored edited = p.a;
    edited.kid[5] = edited.kid[5] == 'x' ? 'y' : 'x';
    Stored cut = p.a;  // the right kid, but the key is one byte short
    Bytes der = unb64url(p.a.der);
    der.pop_back();
    cut.der = b64url(der);
    Stored b = p.b;
    b.status = "active";
    // A key cut one byte short, under its right kid, is refused like the others.
    store(keys_json(p.a.kid, {Stored{cut.kid, cut.der, "active"}, f.pkcs1}));
    EXPECT_EQ(take(id_keys_jwks_json()), "[" + jwk_of(f.pkcs1) + "]");
    EXPECT_EQ(id_keys_find(p.a.kid.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(id_keys_get_active(nullptr, nullptr, nullptr), -1);

    tarn::keys::testing::reset_table();
    // The ninth entry is a usable key, but the table takes eight.
    store(keys_json(b.kid, {edited, o.rsa1024, o.rsa4096, o.ec, f.wrong_exponent, f.pkcs1, b, cut, p.a}));
    EXPECT_EQ(take(id_keys_jwks_json()), "[" + jwk_of(f.pkcs1) + "," + jwk_of(b) + "]");
    const br_rsa_public_key* pk = nullptr;
    for (const Stored* s : {static_cast<const Stored*>(&edited), &o.rsa1024, &o.rsa4096, &o.ec,
                            &f.wrong_exponent}) {
        EXPECT_EQ(id_keys_find(s->kid.c_str(), nullptr, &pk), -1) << s->kid;
    }
    EXPECT_EQ(id_keys_find(f.pkcs1.kid.c_str(), nullptr, &pk), 0) << "bare PKCS#1 is accepted";
    char kid[24];
    ASSERT_EQ(id_keys_get_active(nullptr, nullptr, kid), 0);
    EXPECT_EQ(std::string(kid), b.kid);
    // Failed entries fail again at their next use; the listing still shows all eight.
    EXPECT_EQ(take(id_keys_jwks_json()), "[" + jwk_of(f.pkcs1) + "," + jwk_of(b) + "]");
    std::string listing = take(id_keys_list_json());
    EXPECT_NE(listing.find("\"kid\":\"" + edited.kid + "\""), std::string::npos);
    EXPECT_NE(listing.find("\"kid\":\"ec-key\""), std::string::npos);

    // Signing with an unusable active key fails.
    tarn::keys::testing::reset_table();
    store(keys_json(o.rsa1024.kid, {Stored{o.rsa1024.kid, o.rsa1024.der, "active"}, p.a}));
    char token[1024];
    EXPECT_EQ(id_jwt_sign_rs256("{}", token, sizeof token), -1);
    EXPECT_EQ(id_keys_get_active(nullptr, nullptr, kid), -1);
    EXPECT_EQ(take(id_keys_jwks_json()), "[" + jwk_of(p.a) + "]");
}

TEST_F(KeySet, ActiveNameMustPointAtAnActiveKey) {
    const Ours& p = ours();
    char token[1024] = "sentinel";
    char kid[24] = "sentinel";
    // "active" names a retired entry: nothing signs, the key set still publishes the key.
    store(keys_json(p.a.kid, {p.a, Stored{p.b.kid, p.b.der, "active"}}));
    EXPECT_EQ(id_jwt_sign_rs256("{\"sub\":\"x\"}", token, sizeof token), -1);
    EXPECT_STREQ(token, "");
    EXPECT_EQ(id_keys_get_active(nullptr, nullptr, kid), -1);
    EXPECT_STREQ(kid, "sentinel");
    EXPECT_EQ(take(id_keys_jwks_json()), "[" + jwk_of(p.a) + "," + jwk_of(p.b) + "]");

    for (const char* active : {"", "not-a-kid-in-the-table"}) {
        tarn::keys::testing::reset_table();
        store(keys_json(active, {Stored{p.a.kid, p.a.der, "active"}}));
        EXPECT_EQ(id_keys_get_active(nullptr, nullptr, kid), -1) << active;
        EXPECT_EQ(id_jwt_sign_rs256("{}", token, sizeof token), -1) << active;
        EXPECT_EQ(take(id_keys_jwks_json()), "[" + jwk_of(p.a) + "]");
    }
}

TEST_F(KeySet, TokensVerifyWithThePublishedKeyAndMatchOpenSsl) {
    const Ours& p = ours();
    const Foreign& f = foreign();
    store(keys_json(f.pkcs1.kid, {p.a, Stored{f.pkcs1.kid, f.pkcs1.der, "active"}}));
    char token[8192];
    const std::string payload = "{\"sub\":\"x\"}";
    ASSERT_EQ(id_jwt_sign_rs256(payload.c_str(), token, sizeof token), 0);
    std::vector<std::string> parts = split(token);
    ASSERT_EQ(parts.size(), 3u);
    for (const std::string& part : parts)
        EXPECT_EQ(part.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
    EXPECT_EQ(text_of(unb64url(parts[0])), "{\"alg\":\"RS256\",\"typ\":\"JWT\",\"kid\":\"" + f.pkcs1.kid + "\"}");
    EXPECT_EQ(text_of(unb64url(parts[1])), payload);
    EXPECT_EQ(parts[2].size(), 342u);

    // Verified with the numbers the key set publishes for that kid.
    std::string set = take(id_keys_jwks_json());
    std::size_t at = set.find("\"kid\":\"" + f.pkcs1.kid + "\"");
    ASSERT_NE(at, std::string::npos);
    Pkey pub = public_key(unb64url(member(set, "n", at)), unb64url(member(set, "e", at)));
    ASSERT_NE(pub.p, nullptr);
    std::string input = parts[0] + "." + parts[1];
    Bytes sig = unb64url(parts[2]);
    EXPECT_TRUE(rs256_verifies(pub.p, input, sig));
    EXPECT_FALSE(rs256_verifies(pub.p, input + "x", sig));
    // PKCS#1 v1.5 signatures are deterministic: OpenSSL's own signature is the same bytes.
    EXPECT_EQ(sig, rs256_sign_openssl(f.key.p, input));

    // The i31 and i62 engines sign alike.
    const br_rsa_private_key* sk = nullptr;
    ASSERT_EQ(id_keys_get_active(&sk, nullptr, nullptr), 0);
    Bytes digest = sha256(input.data(), input.size());
    unsigned char s31[256], s62[256];
    ASSERT_EQ(br_rsa_i31_pkcs1_sign(BR_HASH_OID_SHA256, digest.data(), 32, sk, s31), 1u);
    EXPECT_EQ(Bytes(s31, s31 + 256), sig);
    if (br_rsa_pkcs1_sign i62 = br_rsa_i62_pkcs1_sign_get()) {
        ASSERT_EQ(i62(BR_HASH_OID_SHA256, digest.data(), 32, sk, s62), 1u);
        EXPECT_EQ(Bytes(s62, s62 + 256), sig);
    }
}

TEST_F(KeySet, PayloadAndDestinationLimits) {
    const Ours& p = ours();
    store(keys_json(p.b.kid, {Stored{p.b.kid, p.b.der, "active"}}));
    std::vector<char> dst(8192, '#');
    std::string max(3071, 'p');
    ASSERT_EQ(id_jwt_sign_rs256(max.c_str(), dst.data(), dst.size()), 0);
    std::string token = dst.data();
    std::vector<std::string> parts = split(token);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].size(), 4095u);
    EXPECT_EQ(text_of(unb64url(parts[1])), max);
    std::fill(dst.begin(), dst.end(), '#');
    EXPECT_EQ(id_jwt_sign_rs256((max + "p").c_str(), dst.data(), dst.size()), -1);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], '#');

    // The token and its NUL must fit; a cut token is never handed out.
    const std::string payload = "{\"sub\":\"x\",\"aud\":\"client\"}";
    ASSERT_EQ(id_jwt_sign_rs256(payload.c_str(), dst.data(), dst.size()), 0);
    const std::size_t len = std::strlen(dst.data());
    std::vector<char> exact(len + 1, '#');
    EXPECT_EQ(id_jwt_sign_rs256(payload.c_str(), exact.data(), exact.size()), 0);
    EXPECT_EQ(std::string(exact.data()), std::string(dst.data()));
    std::vector<char> shorter(len, '#');
    EXPECT_EQ(id_jwt_sign_rs256(payload.c_str(), shorter.data(), shorter.size()), -1);
    EXPECT_EQ(shorter[0], '\0');
    EXPECT_EQ(std::string(shorter.begin() + 1, shorter.end()), std::string(len - 1, '#'));
    char one = '#';
    EXPECT_EQ(id_jwt_sign_rs256(payload.c_str(), &one, 1), -1);
    EXPECT_EQ(one, '\0');
    char none = '#';
    EXPECT_EQ(id_jwt_sign_rs256(payload.c_str(), &none, 0), -1);
    EXPECT_EQ(none, '#');
    EXPECT_EQ(id_jwt_sign_rs256(payload.c_str(), nullptr, 100), -1);
    EXPECT_EQ(id_jwt_sign_rs256(nullptr, dst.data(), dst.size()), -1);
    EXPECT_EQ(dst[0], '\0');
    // The empty payload signs as given.
    ASSERT_EQ(id_jwt_sign_rs256("", dst.data(), dst.size()), 0);
    EXPECT_EQ(split(dst.data())[1], "");
}

TEST_F(KeySet, ARotationElsewhereShowsInTheNextProcess) {
    const Ours& p = ours();
    store(keys_json(p.a.kid, {Stored{p.a.kid, p.a.der, "active"}}));
    std::string before = take(id_keys_jwks_json());
    ASSERT_EQ(before, "[" + jwk_of(p.a) + "]");

    tarn::test::Captured rotated = tarn::test::capture_stdout([] {
        tarn::keys::testing::reset_table();
        std::printf("%d", id_keys_rotate());
    });
    ASSERT_EQ(rotated.out, "0");
    // This process keeps the table it loaded.
    EXPECT_EQ(take(id_keys_jwks_json()), before);
    char token[1024];
    ASSERT_EQ(id_jwt_sign_rs256("{}", token, sizeof token), 0);
    EXPECT_NE(text_of(unb64url(split(token)[0])).find(p.a.kid), std::string::npos);
    // The next process sees both keys, signing with the new one.
    tarn::test::Captured next = tarn::test::capture_stdout([] {
        tarn::keys::testing::reset_table();  // a fresh process
        char* set = id_keys_jwks_json();
        char kid[24] = "";
        id_keys_get_active(nullptr, nullptr, kid);
        std::printf("%s\n%s", kid, set ? set : "<null>");
    });
    std::string new_kid = next.out.substr(0, next.out.find('\n'));
    EXPECT_EQ(new_kid.size(), 16u);
    EXPECT_NE(new_kid, p.a.kid);
    std::string next_set = next.out.substr(next.out.find('\n') + 1);
    EXPECT_EQ(next_set.find("[" + jwk_of(p.a) + ",{\"kty\":\"RSA\",\"use\":\"sig\",\"alg\":\"RS256\",\"kid\":\"" +
                            new_kid + "\""),
              0u)
        << next_set;
}

}  // namespace

namespace {

// The foreign key's numbers, one of them changed, as a bare RSAPrivateKey under the kid of the
// true key: only the consistency of the numbers can refuse it.
std::string tampered_der(const Foreign& f, const char* changed) {
    static const char* const kNames[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E,
                                         OSSL_PKEY_PARAM_RSA_D, OSSL_PKEY_PARAM_RSA_FACTOR1,
                                         OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                         OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> held;
    for (const char* name : kNames) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(f.key.p, name, &bn);
        if (changed && std::strcmp(name, changed) == 0) BN_add_word(bn, 2);  // stays odd or even
        OSSL_PARAM_BLD_push_BN(bld, name, bn);
        held.push_back(bn);
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params);
    Pkey owned(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM* bn : held) BN_free(bn);
    EXPECT_NE(key, nullptr);
    return key ? b64url(pkcs1_of(key)) : "";
}

// Signs, then spoils the signature: what a fault in the private computation looks like.
uint32_t faulty_sign(const unsigned char* oid, const unsigned char* hash, size_t hash_len,
                     const br_rsa_private_key* sk, unsigned char* x) {
    uint32_t ok = br_rsa_i31_pkcs1_sign(oid, hash, hash_len, sk, x);
    x[100] ^= 0x01;
    return ok;
}

}  // namespace

TEST_F(KeySet, KeysWhoseNumbersDisagreeAreNeitherPublishedNorUsedToSign) {
    const Foreign& f = foreign();
    struct Row {
        const char* changed;  // the number altered, nullptr for none
        bool usable;
    };
    const Row rows[] = {
        {nullptr, true},  // the builder itself keeps a key intact
        {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, false},  // iq: signatures right only modulo q
        {OSSL_PKEY_PARAM_RSA_EXPONENT1, false},     // dp
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, false},     // dq
        {OSSL_PKEY_PARAM_RSA_N, false},             // n is not p * q
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.changed ? row.changed : "unchanged");
        tarn::keys::testing::reset_table();
        const std::string der = tampered_der(f, row.changed);
        store(keys_json(f.pkcs1.kid, {Stored{f.pkcs1.kid, der, "active"}}));
        char token[1024];
        std::memset(token, '#', sizeof token);
        const int signed_ok = id_jwt_sign_rs256("{\"sub\":\"x\"}", token, sizeof token);
        if (row.usable) {
            EXPECT_EQ(take(id_keys_jwks_json()), "[" + jwk_of(f.pkcs1) + "]");
            ASSERT_EQ(signed_ok, 0);
            std::vector<std::string> parts = split(token);
            ASSERT_EQ(parts.size(), 3u);
            EXPECT_TRUE(rs256_verifies(f.key.p, parts[0] + "." + parts[1], unb64url(parts[2])));
        } else {
            EXPECT_EQ(take(id_keys_jwks_json()), "[]");
            EXPECT_EQ(signed_ok, -1);
            EXPECT_STREQ(token, "") << "nothing of a token is handed out";
            EXPECT_EQ(id_keys_find(f.pkcs1.kid.c_str(), nullptr, nullptr), -1);
        }
    }
}

TEST_F(KeySet, ASignatureThatDoesNotVerifyIsNeverHandedOut) {
    const Ours& p = ours();
    store(keys_json(p.a.kid, {Stored{p.a.kid, p.a.der, "active"}}));
    char token[1024];
    tarn::keys::testing::set_sign_engine(&faulty_sign);
    std::memset(token, '#', sizeof token);
    EXPECT_EQ(id_jwt_sign_rs256("{\"sub\":\"x\"}", token, sizeof token), -1);
    EXPECT_STREQ(token, "");
    tarn::keys::testing::set_sign_engine(nullptr);
    EXPECT_EQ(id_jwt_sign_rs256("{\"sub\":\"x\"}", token, sizeof token), 0);
}
