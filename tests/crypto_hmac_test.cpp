// HMAC-SHA-256 and PBKDF2-HMAC-SHA-256: published vectors, the key-length rule, the rejected
// arguments of PBKDF2, and differential checks against OpenSSL on both compression engines.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha256_impl.hpp"
#include "support/reference.hpp"
#include "tarn_crypto.h"

namespace {

using tarn::test::to_hex;

using Bytes = std::vector<unsigned char>;

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes fill(size_t n, unsigned char v) { return Bytes(n, v); }

std::string hmac_hex(const Bytes& key, const Bytes& msg, size_t n = 32) {
    unsigned char out[32];
    tarn_hmac_sha256(key.data(), key.size(), msg.data(), msg.size(), out);
    return to_hex(out, n);
}

std::string pbkdf2_hex(const std::string& pw, const std::string& salt, uint32_t iter, size_t n) {
    Bytes out(n);
    EXPECT_EQ(tarn_pbkdf2_sha256(pw.data(), pw.size(), salt.data(), salt.size(), iter, out.data(), n), 0);
    return to_hex(out.data(), n);
}

Bytes random_bytes(std::mt19937_64& rng, size_t n) {
    Bytes b;
    b.reserve(n + 1);  // data() stays a valid pointer when n is 0: empty is not null
    b.resize(n);
    for (auto& x : b) x = static_cast<unsigned char>(rng());
    return b;
}

class Hmac : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        const bool portable = GetParam();
        if (!portable && !tarn::crypto::sha256_hw_supported()) GTEST_SKIP() << "no SHA extensions";
        tarn::crypto::testing::force_portable_sha256(portable);
    }
    void TearDown() override { tarn::crypto::testing::force_portable_sha256(false); }
};

TEST_P(Hmac, Rfc4231Cases) {
    Bytes key4;
    for (unsigned char i = 1; i <= 25; ++i) key4.push_back(i);
    EXPECT_EQ(hmac_hex(fill(20, 0x0b), bytes("Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hmac_hex(bytes("Jefe"), bytes("what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hmac_hex(fill(20, 0xaa), fill(50, 0xdd)),
              "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
    EXPECT_EQ(hmac_hex(key4, fill(50, 0xcd)),
              "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
    EXPECT_EQ(hmac_hex(fill(20, 0x0c), bytes("Test With Truncation"), 16),
              "a3b6167473100ee06e0c796c2955552b");
    // 131-byte keys: hashed down to 32 bytes first.
    EXPECT_EQ(hmac_hex(fill(131, 0xaa), bytes("Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hmac_hex(fill(131, 0xaa),
                       bytes("This is a test using a larger than block-size key and a larger than "
                             "block-size data. The key needs to be hashed before being used by the "
                             "HMAC algorithm.")),
              "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

TEST_P(Hmac, KeyOfBlockSizeIsUsedAsIsLongerKeyIsHashed) {
    const Bytes msg = bytes("message");
    // A 64-byte key goes into the pads unchanged: HMAC = H((K^opad) || H((K^ipad) || m)).
    Bytes k64(64);
    for (size_t i = 0; i < 64; ++i) k64[i] = static_cast<unsigned char>(i * 3 + 1);
    Bytes inner_in(64), outer_in(64);
    for (size_t i = 0; i < 64; ++i) {
        inner_in[i] = k64[i] ^ 0x36;
        outer_in[i] = k64[i] ^ 0x5c;
    }
    inner_in.insert(inner_in.end(), msg.begin(), msg.end());
    unsigned char inner[32], expected[32];
    tarn_sha256(inner_in.data(), inner_in.size(), inner);
    outer_in.insert(outer_in.end(), inner, inner + 32);
    tarn_sha256(outer_in.data(), outer_in.size(), expected);
    EXPECT_EQ(hmac_hex(k64, msg), to_hex(expected, 32));
    // A 65-byte key is replaced by its digest.
    Bytes k65 = k64;
    k65.push_back(0x42);
    Bytes k65_digest(32);
    tarn_sha256(k65.data(), k65.size(), k65_digest.data());
    EXPECT_EQ(hmac_hex(k65, msg), hmac_hex(k65_digest, msg));
    EXPECT_NE(hmac_hex(k65, msg), hmac_hex(k64, msg));
}

TEST_P(Hmac, RandomKeysAndMessagesMatchOpenSsl) {
    std::mt19937_64 rng(GetParam() ? 11 : 12);
    for (int round = 0; round < 300; ++round) {
        const Bytes key = random_bytes(rng, rng() % 200);
        const Bytes msg = random_bytes(rng, rng() % 400);
        unsigned char ref[32];
        unsigned int ref_len = 0;
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), ref, &ref_len);
        ASSERT_EQ(hmac_hex(key, msg), to_hex(ref, 32)) << key.size() << "-byte key, " << msg.size() << "-byte message";
    }
    // Empty key and empty message through null pointers.
    unsigned char out[32], ref[32];
    unsigned int ref_len = 0;
    tarn_hmac_sha256(nullptr, 0, nullptr, 0, out);
    HMAC(EVP_sha256(), "", 0, nullptr, 0, ref, &ref_len);
    EXPECT_EQ(to_hex(out, 32), to_hex(ref, 32));
}

TEST_P(Hmac, Pbkdf2PublishedVectors) {
    // RFC 7914 section 11.
    EXPECT_EQ(pbkdf2_hex("passwd", "salt", 1, 64),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_EQ(pbkdf2_hex("Password", "NaCl", 80000, 64),
              "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
              "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
    // The RFC 6070 inputs with SHA-256, including 40- and 16-byte outputs.
    EXPECT_EQ(pbkdf2_hex("password", "salt", 1, 32),
              "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
    EXPECT_EQ(pbkdf2_hex("password", "salt", 2, 32),
              "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43");
    EXPECT_EQ(pbkdf2_hex("password", "salt", 4096, 32),
              "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
    EXPECT_EQ(pbkdf2_hex("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 40),
              "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9");
    EXPECT_EQ(pbkdf2_hex(std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, 16),
              "89b69d0516f829893c696226650a8687");
    // One iteration, one block: exactly HMAC(password, salt || 00 00 00 01).
    EXPECT_EQ(pbkdf2_hex("pw", "NaCl", 1, 32), hmac_hex(bytes("pw"), bytes(std::string("NaCl\0\0\0\1", 8))));
}

TEST_P(Hmac, Pbkdf2RandomInputsMatchOpenSsl) {
    std::mt19937_64 rng(GetParam() ? 21 : 22);
    for (int round = 0; round < 150; ++round) {
        // Passwords past 64 bytes are hashed first; outputs of several and partial blocks.
        const Bytes pw = random_bytes(rng, rng() % 100);
        const Bytes salt = random_bytes(rng, rng() % 80);
        const uint32_t iter = round % 10 == 0 ? 1000 + rng() % 1000 : 1 + rng() % 40;
        const size_t n = 1 + rng() % 100;
        Bytes ours(n), ref(n);
        ASSERT_EQ(tarn_pbkdf2_sha256(pw.data(), pw.size(), salt.data(), salt.size(), iter, ours.data(), n), 0);
        ASSERT_EQ(PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pw.data()), static_cast<int>(pw.size()),
                                    salt.data(), static_cast<int>(salt.size()), static_cast<int>(iter),
                                    EVP_sha256(), static_cast<int>(n), ref.data()), 1);
        ASSERT_EQ(ours, ref) << pw.size() << "-byte password, " << salt.size() << "-byte salt, " << iter
                             << " iterations, " << n << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Hmac, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "ShaExtensions"; });

TEST(Pbkdf2, EmptyPasswordAndSaltAreAccepted) {
    unsigned char ours[32], ref[32];
    ASSERT_EQ(tarn_pbkdf2_sha256("", 0, "", 0, 3, ours, sizeof ours), 0);
    ASSERT_EQ(PKCS5_PBKDF2_HMAC("", 0, reinterpret_cast<const unsigned char*>(""), 0, 3, EVP_sha256(),
                                32, ref), 1);
    EXPECT_EQ(to_hex(ours, 32), to_hex(ref, 32));
}

TEST(Pbkdf2, RejectedArgumentsLeaveTheOutputUntouched) {
    const unsigned char pw[] = "pw", salt[] = "salt";
    unsigned char out[40];
    auto untouched = [&] {
        for (unsigned char b : out)
            if (b != 0xEE) return false;
        return true;
    };
    struct Case {
        const char* what;
        const void* pw;
        const void* salt;
        uint32_t iter;
        unsigned char* out;
        size_t len;
    } cases[] = {
        {"null password", nullptr, salt, 1, out, 32},
        {"null salt", pw, nullptr, 1, out, 32},
        {"null output", pw, salt, 1, nullptr, 32},
        {"zero iterations", pw, salt, 0, out, 32},
        {"zero length", pw, salt, 1, out, 0},
        // Past 2^32 - 1 blocks the 32-bit block index would wrap (RFC 8018 "derived key too long");
        // refused before anything is written.
        {"length over the limit", pw, salt, 1, out, size_t{0xFFFFFFFF} * 32 + 1},
    };
    for (const Case& c : cases) {
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(tarn_pbkdf2_sha256(c.pw, 2, c.salt, 4, c.iter, c.out, c.len), -1) << c.what;
        EXPECT_TRUE(untouched()) << c.what;
    }
}

}  // namespace
