// A program's own RS256 engine (id_jwt_set_rs256_signer): the library still builds the token and
// checks every signature with the public key, so an engine that signs correctly gives the very
// token the built-in engine gives (PKCS#1 v1.5 is deterministic), and one that fails or returns
// a wrong signature never gets a token out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "id_jwt.h"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "support/test_env.hpp"

namespace {

struct Calls {
    int count = 0;
    const void* ctx = nullptr;
};

// Signs with BearSSL's own engine, then spoils the result as `mode` says.
enum Mode { kCorrect, kFails, kFlipsABit, kSignsAnotherDigest };

Mode g_mode = kCorrect;

int engine(const unsigned char* digest, const br_rsa_private_key* sk, const br_rsa_public_key*, unsigned char* sig,
           void* ctx) {
    auto* calls = static_cast<Calls*>(ctx);
    ++calls->count;
    calls->ctx = ctx;
    if (g_mode == kFails) return 0;
    unsigned char other[32];
    std::memcpy(other, digest, 32);
    if (g_mode == kSignsAnotherDigest) other[0] ^= 1;
    if (!br_rsa_i31_pkcs1_sign(BR_HASH_OID_SHA256, other, 32, sk, sig)) return 0;
    if (g_mode == kFlipsABit) sig[100] ^= 0x10;
    return 1;
}

class Signer : public ::testing::Test {
protected:
    void SetUp() override { tarn::keys::testing::reset_table(); }
    void TearDown() override {
        id_jwt_set_rs256_signer(nullptr, nullptr);
        tarn::keys::testing::reset_table();
    }
    tarn::test::DataDirFixture data;
};

TEST_F(Signer, TheLibraryChecksWhatAProgramsEngineSigns) {
    const char* payload = "{\"sub\":\"usr_x\",\"scope\":\"openid\"}";
    char builtin[ID_JWT_TOKEN_CAP], token[ID_JWT_TOKEN_CAP];
    ASSERT_EQ(id_jwt_sign_rs256(payload, builtin, sizeof builtin), 0);

    struct Case {
        const char* name;
        Mode mode;
        int result;
    };
    const Case cases[] = {
        {"correct", kCorrect, 0},
        {"engine fails", kFails, -1},
        {"a bit of the signature flipped", kFlipsABit, -1},
        {"another digest signed", kSignsAnotherDigest, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Calls calls;
        g_mode = c.mode;
        id_jwt_set_rs256_signer(engine, &calls);
        std::memset(token, 'x', sizeof token);
        EXPECT_EQ(id_jwt_sign_rs256(payload, token, sizeof token), c.result);
        EXPECT_EQ(calls.count, 1);
        EXPECT_EQ(calls.ctx, &calls);
        if (c.result == 0) {
            EXPECT_STREQ(token, builtin);
            EXPECT_EQ(id_jwt_verify(token, nullptr), ID_JWT_VALID);
        } else {
            EXPECT_STREQ(token, "");
        }
    }
    // The mints go through the engine too; NULL gives the built-in engine back.
    Calls calls;
    g_mode = kCorrect;
    id_jwt_set_rs256_signer(engine, &calls);
    ASSERT_EQ(id_jwt_mint_access_token("iss", "usr_x", "x", nullptr, "client_x", "openid", 0, token, sizeof token), 0);
    char id_token[ID_JWT_TOKEN_CAP];
    ASSERT_EQ(id_jwt_mint_id_token_v2("iss", "usr_x", "x", nullptr, "client_x", "n", token, 1, 0, id_token,
                                      sizeof id_token),
              0);
    EXPECT_EQ(calls.count, 2);
    id_jwt_set_rs256_signer(nullptr, &calls);
    ASSERT_EQ(id_jwt_sign_rs256(payload, token, sizeof token), 0);
    EXPECT_EQ(calls.count, 2);
    EXPECT_STREQ(token, builtin);
}

}  // namespace
