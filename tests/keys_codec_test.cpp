// Key generation, the public key encoding behind kids, and the random source, checked against
// hand-assembled bytes and against OpenSSL reading what we generate.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/clock.hpp"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "keys/rsa_der.hpp"
#include "support/reference.hpp"

namespace {

using tarn::test::b64url;
using tarn::test::bn_param;
using tarn::test::sha256;

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes encode(const Bytes& n, const Bytes& e) {
    br_rsa_public_key pk{const_cast<unsigned char*>(n.data()), n.size(),
                         const_cast<unsigned char*>(e.data()), e.size()};
    std::size_t len = id_spki_encode(nullptr, &pk);
    Bytes out(len + 8, 0xEE);
    std::size_t written = id_spki_encode(out.data(), &pk);
    EXPECT_EQ(written, len) << "the measured length and the written one differ";
    for (std::size_t i = len; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past the end";
    out.resize(written);
    return out;
}

std::int64_t fixed_clock() { return 1700000000; }

const Bytes kRsaAlgorithm = hex("06092A864886F70D010101 0500");

TEST(SpkiEncoding, ByteExactForBothModulusShapes) {
    Bytes e = hex("010001");
    // First byte 0x80 or above: the INTEGER gets a 00 byte and the encoding is 292 bytes.
    Bytes high(256, 0x5A);
    high[0] = 0x80;
    Bytes got = encode(high, e);
    Bytes want = cat({hex("30820120"), kRsaAlgorithm, hex("0382010F00 3082010A 0282010100"), high,
                      hex("0203010001")});
    ASSERT_EQ(got.size(), 292u);
    EXPECT_EQ(got, want);

    // First byte below 0x80: no 00 byte, every length one smaller.
    Bytes low(256, 0xA5);
    low[0] = 0x7F;
    got = encode(low, e);
    want = cat({hex("3082011F"), kRsaAlgorithm, hex("0382010E00 30820109 02820100"), low,
                hex("0203010001")});
    EXPECT_EQ(got.size(), 291u);
    EXPECT_EQ(got, want);

    // Short lengths use one byte below 128 and 81 xx below 256; leading zeros are kept; an empty
    // magnitude is 02 00.
    Bytes small = hex("0001FF");
    got = encode(small, Bytes{});
    want = cat({hex("3019"), kRsaAlgorithm, hex("030A 00 3007 020300 01FF 0200")});
    EXPECT_EQ(got, want);
    Bytes mid(120, 0x11);
    got = encode(mid, hex("03"));
    want = cat({hex("30 81 90"), kRsaAlgorithm, hex("03 81 80 00 30 7D 02 78"), mid, hex("020103")});
    EXPECT_EQ(got, want);
}

TEST(SpkiEncoding, LimitsAndNullArguments) {
    Bytes e = hex("010001");
    // The whole encoding may reach 1047 bytes, the two INTEGERs 1024 bytes.
    EXPECT_EQ(encode(Bytes(1012, 0x01), e).size(), 1047u);
    br_rsa_public_key pk{nullptr, 0, nullptr, 0};
    Bytes n(1013, 0x01);
    pk = {n.data(), n.size(), e.data(), e.size()};
    EXPECT_EQ(id_spki_encode(nullptr, &pk), 0u) << "1048 bytes in all";
    Bytes big(1016, 0x01);
    pk = {big.data(), big.size(), e.data(), e.size()};
    EXPECT_EQ(id_spki_encode(nullptr, &pk), 0u) << "INTEGERs of 1025 bytes";
    Bytes huge(1030, 0x01);
    pk = {huge.data(), huge.size(), e.data(), e.size()};
    unsigned char untouched[8] = {0};
    EXPECT_EQ(id_spki_encode(untouched, &pk), 0u);
    EXPECT_EQ(untouched[0], 0) << "nothing written on failure";
    EXPECT_EQ(id_spki_encode(untouched, nullptr), 0u);
    pk = {nullptr, 256, e.data(), e.size()};
    EXPECT_EQ(id_spki_encode(nullptr, &pk), 0u);
}

struct OpenSslKey {
    EVP_PKEY* pkey = nullptr;
    ~OpenSslKey() { EVP_PKEY_free(pkey); }
};

class KeyGeneration : public ::testing::Test {
protected:
    void SetUp() override { tarn::testing::set_clock(&fixed_clock); }
    void TearDown() override {
        tarn::testing::set_clock(nullptr);
        tarn::keys::testing::set_seeder_lookup(nullptr);
    }
};

TEST_F(KeyGeneration, GeneratedKeyAsOpenSslReadsIt) {
    static id_key_entry entry;
    ASSERT_EQ(id_key_generate(&entry), 0);
    EXPECT_STREQ(entry.alg, "RS256");
    EXPECT_EQ(entry.created, 1700000000);
    EXPECT_EQ(entry.status, 1);
    EXPECT_EQ(entry.has_private, 1);
    EXPECT_EQ(entry.decoded, 1);
    ASSERT_EQ(entry.n_len, 256u);
    EXPECT_TRUE(entry.n[0] & 0x80) << "a 2048-bit modulus fills its 256 bytes";
    ASSERT_EQ(entry.e_len, 3u);
    EXPECT_EQ(Bytes(entry.e, entry.e + 3), hex("010001"));
    ASSERT_GE(entry.der_len, 1u);
    ASSERT_LE(entry.der_len, 2048u);
    EXPECT_EQ(entry.der[0], 0x30);

    // The DER is a PKCS#8 PrivateKeyInfo of the same key.
    const unsigned char* p = entry.der;
    PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(entry.der_len));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(p, entry.der + entry.der_len) << "the DER is exactly one PrivateKeyInfo";
    OpenSslKey key{EVP_PKCS82PKEY(info)};
    PKCS8_PRIV_KEY_INFO_free(info);
    ASSERT_NE(key.pkey, nullptr);
    EXPECT_EQ(EVP_PKEY_get_base_id(key.pkey), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(key.pkey), 2048);
    EXPECT_EQ(bn_param(key.pkey, OSSL_PKEY_PARAM_RSA_N), Bytes(entry.n, entry.n + 256));
    EXPECT_EQ(bn_param(key.pkey, OSSL_PKEY_PARAM_RSA_E), hex("010001"));

    // The kid: OpenSSL's X.509 SubjectPublicKeyInfo with its AlgorithmIdentifier SEQUENCE
    // (30 0D) dropped is our 292-byte encoding; its SHA-256 in base64url, cut to 16.
    unsigned char* spki = nullptr;
    int spki_len = i2d_PUBKEY(key.pkey, &spki);
    ASSERT_EQ(spki_len, 294);
    Bytes x509(spki, spki + spki_len);
    OPENSSL_free(spki);
    ASSERT_EQ(Bytes(x509.begin(), x509.begin() + 6), hex("30820122 300D"));
    Bytes ours = cat({hex("30820120"), Bytes(x509.begin() + 6, x509.end())});
    br_rsa_public_key pk{entry.n, 256, entry.e, 3};
    EXPECT_EQ(encode(Bytes(entry.n, entry.n + 256), Bytes(entry.e, entry.e + 3)), ours);
    EXPECT_EQ(id_spki_encode(nullptr, &pk), 292u);
    Bytes digest = sha256(ours);
    EXPECT_EQ(std::string(entry.kid), b64url(digest.data(), digest.size()).substr(0, 16));
    EXPECT_EQ(std::strlen(entry.kid), 16u);

    // A second key is a different key.
    static id_key_entry other;
    ASSERT_EQ(id_key_generate(&other), 0);
    EXPECT_NE(std::string(other.kid), std::string(entry.kid));
    EXPECT_NE(Bytes(other.n, other.n + 256), Bytes(entry.n, entry.n + 256));
}

Bytes view(const unsigned char* p, std::size_t len) { return Bytes(p, p + len); }

TEST_F(KeyGeneration, StoredKeyFormsAndTheExponentCheck) {
    static id_key_entry entry;
    ASSERT_EQ(id_key_generate(&entry), 0);
    Bytes der(entry.der, entry.der + entry.der_len);
    tarn::keys::RsaPrivateDer key;
    ASSERT_TRUE(tarn::keys::parse_rsa_private_der(der.data(), der.size(), key));
    EXPECT_EQ(key.e, 65537u);
    EXPECT_EQ(key.sk.n_bitlen, 2048u);
    // The components are the ones OpenSSL reads from the same DER.
    const unsigned char* p = der.data();
    OpenSslKey ossl{d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()))};
    ASSERT_NE(ossl.pkey, nullptr);
    const br_rsa_private_key& sk = key.sk;
    EXPECT_EQ(view(sk.p, sk.plen), bn_param(ossl.pkey, OSSL_PKEY_PARAM_RSA_FACTOR1));
    EXPECT_EQ(view(sk.q, sk.qlen), bn_param(ossl.pkey, OSSL_PKEY_PARAM_RSA_FACTOR2));
    EXPECT_EQ(view(sk.dp, sk.dplen), bn_param(ossl.pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1));
    EXPECT_EQ(view(sk.dq, sk.dqlen), bn_param(ossl.pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2));
    EXPECT_EQ(view(sk.iq, sk.iqlen), bn_param(ossl.pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1));

    // The bare PKCS#1 form inside it (the OCTET STRING's content) reads the same.
    unsigned char* pkcs1 = nullptr;
    int pkcs1_len = i2d_PrivateKey(ossl.pkey, &pkcs1);
    tarn::keys::RsaPrivateDer bare;
    ASSERT_TRUE(tarn::keys::parse_rsa_private_der(pkcs1, static_cast<std::size_t>(pkcs1_len), bare));
    EXPECT_EQ(view(bare.sk.q, bare.sk.qlen), view(sk.q, sk.qlen));
    OPENSSL_free(pkcs1);

    // Not exactly one well-formed key: refused.
    Bytes longer = der;
    longer.push_back(0);
    EXPECT_FALSE(tarn::keys::parse_rsa_private_der(longer.data(), longer.size(), key));
    EXPECT_FALSE(tarn::keys::parse_rsa_private_der(der.data(), der.size() - 1, key));
    Bytes other_version = der;
    ASSERT_EQ(Bytes(other_version.begin() + 4, other_version.begin() + 7), hex("020100"));
    other_version[6] = 1;
    EXPECT_FALSE(tarn::keys::parse_rsa_private_der(other_version.data(), other_version.size(), key));
    Bytes other_oid = der;
    ASSERT_EQ(Bytes(other_oid.begin() + 9, other_oid.begin() + 20), hex("06092A864886F70D010101"));
    other_oid[19] = 0x0A;  // 1.2.840.113549.1.1.10: RSASSA-PSS
    EXPECT_FALSE(tarn::keys::parse_rsa_private_der(other_oid.data(), other_oid.size(), key));

    // e * dp = 1 (mod p - 1) holds for the key's own exponent and primes only.
    ASSERT_TRUE(tarn::keys::parse_rsa_private_der(der.data(), der.size(), key));
    EXPECT_TRUE(tarn::keys::crt_exponent_matches(65537, sk.dp, sk.dplen, sk.p, sk.plen));
    EXPECT_TRUE(tarn::keys::crt_exponent_matches(65537, sk.dq, sk.dqlen, sk.q, sk.qlen));
    EXPECT_FALSE(tarn::keys::crt_exponent_matches(65539, sk.dp, sk.dplen, sk.p, sk.plen));
    EXPECT_FALSE(tarn::keys::crt_exponent_matches(3, sk.dp, sk.dplen, sk.p, sk.plen));
    EXPECT_FALSE(tarn::keys::crt_exponent_matches(65537, sk.dq, sk.dqlen, sk.p, sk.plen));
    Bytes dp = view(sk.dp, sk.dplen);
    dp.back() ^= 2;
    EXPECT_FALSE(tarn::keys::crt_exponent_matches(65537, dp.data(), dp.size(), sk.p, sk.plen));
    // Small numbers worked by hand: 3 * 7 = 21 = 1 + 2 * 10, so 7 is the CRT exponent of p = 11.
    unsigned char eleven = 11, seven = 7, five = 5, twelve = 12;
    EXPECT_TRUE(tarn::keys::crt_exponent_matches(3, &seven, 1, &eleven, 1));
    EXPECT_FALSE(tarn::keys::crt_exponent_matches(3, &five, 1, &eleven, 1));
    EXPECT_FALSE(tarn::keys::crt_exponent_matches(3, &seven, 1, &twelve, 1)) << "p must be odd";
}

// The coefficient check against OpenSSL's big numbers: random odd moduli of every width up to
// 264 bytes, multipliers wider and narrower than the modulus, true coefficients (q^-1 mod p) and
// near misses.
TEST(CrtCoefficient, AgreesWithOpenSslOverRandomNumbers) {
    auto bytes_of = [](const BIGNUM* bn) {
        Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, out.data());
        return out;
    };
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM *p = BN_new(), *q = BN_new(), *iq = BN_new(), *t = BN_new();
    int checked_true = 0;
    for (int round = 0; round < 400; ++round) {
        const int p_bits = 2 + round % 2111;  // up to 264 bytes
        const int q_bits = 1 + (round * 7919) % 2112;
        BN_rand(p, p_bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD);
        BN_rand(q, q_bits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
        if (BN_is_zero(q)) BN_one(q);
        const bool invertible = BN_mod_inverse(iq, q, p, ctx) != nullptr;
        if (!invertible || round % 3 == 0) BN_rand_range(iq, p);  // a random coefficient
        if (round % 5 == 1) BN_add_word(iq, 1);                     // a near miss, may reach p
        BN_mod_mul(t, iq, q, p, ctx);
        const bool want = BN_is_one(t) && BN_cmp(iq, p) < 0;
        checked_true += want;
        Bytes pb = bytes_of(p), qb = bytes_of(q), ib = bytes_of(iq);
        EXPECT_EQ(tarn::keys::crt_coefficient_matches(ib.data(), ib.size(), qb.data(), qb.size(),
                                                      pb.data(), pb.size()),
                  want)
            << "p bits " << p_bits << ", q bits " << q_bits << ", round " << round;
    }
    EXPECT_GT(checked_true, 100) << "too few true coefficients to mean anything";
    // The modulus check: the full product, not its low bytes, nor a neighbour.
    for (int round = 0; round < 200; ++round) {
        BN_rand(p, 1 + round * 53 % 2112, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
        BN_rand(q, 1 + round * 31 % 2112, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
        BN_mul(t, p, q, ctx);
        if (BN_is_zero(t)) continue;
        Bytes pb = bytes_of(p), qb = bytes_of(q), nb = bytes_of(t);
        EXPECT_TRUE(tarn::keys::modulus_is_product(nb.data(), nb.size(), pb.data(), pb.size(), qb.data(), qb.size()));
        Bytes padded = nb;
        padded.insert(padded.begin(), 2, 0);
        EXPECT_TRUE(tarn::keys::modulus_is_product(padded.data(), padded.size(), pb.data(), pb.size(), qb.data(), qb.size()));
        if (nb.size() > 1) {
            Bytes low(nb.begin() + 1, nb.end());  // the top byte dropped
            EXPECT_EQ(tarn::keys::modulus_is_product(low.data(), low.size(), pb.data(), pb.size(), qb.data(), qb.size()),
                      nb[0] == 0);
        }
        Bytes other = nb;
        other.back() ^= 2;
        EXPECT_FALSE(tarn::keys::modulus_is_product(other.data(), other.size(), pb.data(), pb.size(), qb.data(), qb.size()));
    }
    // iq = p + 1 would satisfy the congruence for q = 1 but is not reduced: refused.
    BN_set_word(p, 11);
    BN_set_word(iq, 12);
    Bytes pb = bytes_of(p), ib = bytes_of(iq);
    unsigned char one = 1;
    EXPECT_FALSE(tarn::keys::crt_coefficient_matches(ib.data(), ib.size(), &one, 1, pb.data(), pb.size()));
    BN_free(p);
    BN_free(q);
    BN_free(iq);
    BN_free(t);
    BN_CTX_free(ctx);
}

br_prng_seeder no_seeder(const char**) { return nullptr; }
int failing_seed(const br_prng_class**) { return 0; }
br_prng_seeder failing_seeder(const char**) { return &failing_seed; }

TEST_F(KeyGeneration, RandomSourceFailureFailsAndLeavesNothing) {
    static id_key_entry entry;
    std::memset(&entry, 0x41, sizeof entry);
    tarn::keys::testing::set_seeder_lookup(&no_seeder);
    EXPECT_EQ(id_key_generate(&entry), -1);
    EXPECT_EQ(entry.kid[0], '\0');
    EXPECT_EQ(entry.has_private, 0);
    EXPECT_EQ(entry.der_len, 0u);

    tarn::keys::testing::set_seeder_lookup(&failing_seeder);
    int before = tarn::keys::testing::generated_count();
    EXPECT_EQ(id_key_generate(&entry), -1);
    EXPECT_EQ(entry.has_private, 0);
    EXPECT_EQ(tarn::keys::testing::generated_count(), before);

    // The next generation seeds again.
    tarn::keys::testing::set_seeder_lookup(nullptr);
    EXPECT_EQ(id_key_generate(&entry), 0);
    EXPECT_EQ(entry.decoded, 1);
    EXPECT_EQ(id_key_generate(nullptr), -1);
}

}  // namespace
