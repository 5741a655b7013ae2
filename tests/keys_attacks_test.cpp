// Attacks on the signing keys that got through. Each test names the rule the attack breaks and
// builds its input independently of the library (OpenSSL for the numbers, hand-written DER and
// JSON).
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <filesystem>
#include <string>
#include <vector>

#include "id_jwt.h"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "support/jwt_reference.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::b64url;
using tarn::test::Bytes;
using tarn::test::DataDirFixture;
using tarn::test::take;
using tarn::test::write_file;

Bytes bytes_of(const BIGNUM* x) {
    Bytes out(static_cast<std::size_t>(BN_num_bytes(x)));
    BN_bn2bin(x, out.data());
    return out;
}

Bytes der_length(std::size_t len) {
    if (len < 128) return {static_cast<unsigned char>(len)};
    if (len < 256) return {0x81, static_cast<unsigned char>(len)};
    return {0x82, static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
}

Bytes tlv(unsigned char tag, const Bytes& content) {
    Bytes out = {tag};
    const Bytes l = der_length(content.size());
    out.insert(out.end(), l.begin(), l.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes der_integer(const Bytes& magnitude) {
    Bytes content = magnitude;
    if (content.empty() || (content[0] & 0x80)) content.insert(content.begin(), 0x00);
    return tlv(0x02, content);
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The kid of (n, e): SHA-256 of SEQUENCE { rsaEncryption OID, NULL, BIT STRING { SEQUENCE { n, e } } }
// (the OID and NULL directly in the outer SEQUENCE), base64url, first 16 characters.
std::string kid_of(const Bytes& n, const Bytes& e) {
    const Bytes key = tlv(0x30, concat({der_integer(n), der_integer(e)}));
    Bytes bits = {0x00};
    bits.insert(bits.end(), key.begin(), key.end());
    const Bytes algorithm = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    const Bytes encoding = tlv(0x30, concat({algorithm, tlv(0x03, bits)}));
    return b64url(tarn::test::sha256(encoding)).substr(0, 16);
}

// A key is usable only when its numbers agree, n = p * q first of all. Two primes of 1025 bits
// make a product of 2049 or 2050 bits; a DER that states as n that product's low 2048 bits
// (top bit set) passes the n = p * q check, because the product is computed into the 256 bytes
// the stated modulus takes and its high bits fall off. The key is then published, and found by
// kid, under a modulus that belongs to no private key: relying parties are handed a key no
// signature of ours verifies under, and every signing attempt with it fails.
TEST(KeysAttack, AModulusThatIsNotTheProductOfThePrimesIsRefused) {
    DataDirFixture data;
    tarn::keys::testing::reset_table();
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM *p = BN_new(), *q = BN_new(), *product = BN_new(), *n = BN_new(), *e = BN_new(), *one = BN_new();
    BIGNUM *p1 = BN_new(), *q1 = BN_new(), *phi = BN_new(), *d = BN_new(), *dp = BN_new(), *dq = BN_new(),
           *iq = BN_new(), *g = BN_new();
    BN_set_word(e, 65537);
    BN_one(one);
    for (;;) {
        ASSERT_EQ(BN_generate_prime_ex(p, 1025, 0, nullptr, nullptr, nullptr), 1);
        ASSERT_EQ(BN_generate_prime_ex(q, 1025, 0, nullptr, nullptr, nullptr), 1);
        BN_mul(product, p, q, ctx);
        BN_copy(n, product);
        BN_mask_bits(n, 2048);
        BN_sub(p1, p, one);
        BN_sub(q1, q, one);
        BN_mul(phi, p1, q1, ctx);
        BN_gcd(g, e, phi, ctx);
        if (BN_num_bits(n) == 2048 && BN_is_one(g) && BN_cmp(p, q) != 0) break;
    }
    ASSERT_GT(BN_num_bits(product), 2048);
    ASSERT_NE(BN_cmp(n, product), 0);
    BN_mod_inverse(d, e, phi, ctx);
    BN_mod(dp, d, p1, ctx);
    BN_mod(dq, d, q1, ctx);
    BN_mod_inverse(iq, q, p, ctx);
    const Bytes der = tlv(0x30, concat({der_integer({0x00}), der_integer(bytes_of(n)), der_integer(bytes_of(e)),
                                        der_integer(bytes_of(d)), der_integer(bytes_of(p)), der_integer(bytes_of(q)),
                                        der_integer(bytes_of(dp)), der_integer(bytes_of(dq)),
                                        der_integer(bytes_of(iq))}));
    const std::string kid = kid_of(bytes_of(n), bytes_of(e));
    for (BIGNUM* x : {p, q, product, n, e, one, p1, q1, phi, d, dp, dq, iq, g}) BN_free(x);
    BN_CTX_free(ctx);

    write_file(data.file("keys.json"), "{\"active\":\"" + kid + "\",\"keys\":[{\"kid\":\"" + kid +
                                           "\",\"created\":1,\"priv_der_b64\":\"" + b64url(der) +
                                           "\",\"status\":\"active\"}]}");
    EXPECT_EQ(take(id_keys_jwks_json()), "[]") << "a modulus that is not p * q is published";
    EXPECT_EQ(id_keys_find(kid.c_str(), nullptr, nullptr), -1);
    char token[ID_JWT_TOKEN_CAP];
    EXPECT_EQ(id_jwt_sign_rs256("{\"sub\":\"x\"}", token, sizeof token), -1);
    tarn::keys::testing::reset_table();
}

// A keys.json that exists but cannot be read is never replaced. A symbolic link whose target is
// missing (the volume holding the keys is not mounted yet) opens as "no such file", and the store
// takes it for a missing keys.json: it generates a fresh key and renames it over the link, so the
// provider silently starts signing with a new key and the link to the real keys is gone.
TEST(KeysAttack, ADanglingKeysJsonLinkIsNeitherReplacedNorGivenAFreshKey) {
    DataDirFixture data;
    tarn::keys::testing::reset_table();
    const std::string link = data.file("keys.json");
    std::filesystem::create_symlink(data.work() + "/unmounted/keys.json", link);
    const int generated = tarn::keys::testing::generated_count();
    EXPECT_EQ(id_keys_load_or_create(), -1);
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link to the keys was replaced";
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated) << "a fresh key was made";
    tarn::keys::testing::reset_table();
}

}  // namespace
