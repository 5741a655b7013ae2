// One process as the token endpoint would run its signing: load the active key, sign two
// signing inputs (an access token and an ID token) and exit. Built twice: with BearSSL as the
// library signs (tarn_rs256_bearssl), and with OpenSSL's libcrypto linked in statically, the key
// handed over from the key store and every signature checked with the public key before it
// counts (tarn_rs256_openssl). The difference of the two whole-process costs is what either
// engine adds to one token exchange. Exit status 0 when both signatures were made and verified.
#include <cstdio>
#include <cstring>
#include <string>

#include "id_jwt.h"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "tarn_crypto.h"

#ifdef TARN_ENGINE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#endif

namespace {

const char* kInputs[2] = {
    "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCIsImtpZCI6IngifQ.eyJpc3MiOiJodHRwczovL2lkLmV4YW1wbGUub3JnIiwic3ViIjoidXNy"
    "X1FrM3Y5WnJUMmFYIiwidXNlcm5hbWUiOiJhbGljZSIsInNjb3BlIjoib3BlbmlkIHByb2ZpbGUgZW1haWwiLCJqdGkiOiJZYzJWeDdRcExt"
    "NE56OFJrIn0",
    "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCIsImtpZCI6IngifQ.eyJpc3MiOiJodHRwczovL2lkLmV4YW1wbGUub3JnIiwic3ViIjoidXNy"
    "X1FrM3Y5WnJUMmFYIiwiYXVkIjoiY2xpZW50XzhmSncyTG1QcTBaIiwibm9uY2UiOiJuLTAtUzZfV3pBMk1qIiwidG9rZW5fdXNlIjoiaWQifQ",
};

#ifdef TARN_ENGINE_OPENSSL
BIGNUM* bn(const unsigned char* p, std::size_t len) { return BN_bin2bn(p, static_cast<int>(len), nullptr); }

EVP_PKEY* openssl_key(const br_rsa_private_key* sk, const br_rsa_public_key* pk) {
    BIGNUM *n = bn(pk->n, pk->nlen), *e = bn(pk->e, pk->elen), *p = bn(sk->p, sk->plen), *q = bn(sk->q, sk->qlen);
    BIGNUM *dp = bn(sk->dp, sk->dplen), *dq = bn(sk->dq, sk->dqlen), *iq = bn(sk->iq, sk->iqlen);
    // d = e^-1 mod (p-1)(q-1): OpenSSL wants it although it signs with the CRT numbers.
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM *p1 = BN_dup(p), *q1 = BN_dup(q), *phi = BN_new(), *d = BN_new();
    BN_sub_word(p1, 1);
    BN_sub_word(q1, 1);
    BN_mul(phi, p1, q1, ctx);
    BN_mod_inverse(d, e, phi, ctx);
    OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_D, d);
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_FACTOR1, p);
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_FACTOR2, q);
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp);
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq);
    OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, iq);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(kctx) != 1 || EVP_PKEY_fromdata(kctx, &key, EVP_PKEY_KEYPAIR, params) != 1) key = nullptr;
    EVP_PKEY_CTX_free(kctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(b);
    for (BIGNUM* x : {n, e, p, q, dp, dq, iq, p1, q1, phi, d}) BN_free(x);
    BN_CTX_free(ctx);
    return key;
}
#endif

}  // namespace

int main() {
    const br_rsa_private_key* sk = nullptr;
    const br_rsa_public_key* pk = nullptr;
    char kid[24];
    if (id_keys_get_active(&sk, &pk, kid) != 0) return 1;
#ifdef TARN_ENGINE_OPENSSL
    EVP_PKEY* key = openssl_key(sk, pk);
    if (!key) return 1;
    const br_rsa_pkcs1_vrfy verify = br_rsa_pkcs1_vrfy_get_default();
#endif
    for (const char* input : kInputs) {
#ifdef TARN_ENGINE_OPENSSL
        unsigned char sig[256], digest[32], carried[32];
        std::size_t len = sizeof sig;
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        if (EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key) != 1 ||
            EVP_DigestSign(md, sig, &len, reinterpret_cast<const unsigned char*>(input), std::strlen(input)) != 1 ||
            len != 256)
            return 1;
        EVP_MD_CTX_free(md);
        tarn_sha256(input, std::strlen(input), digest);
        if (!verify(sig, len, BR_HASH_OID_SHA256, 32, pk, carried) || std::memcmp(digest, carried, 32) != 0) return 1;
#else
        static char token[ID_JWT_TOKEN_CAP];
        // The library signs a claims text; the inputs above stand for one of each token.
        if (id_jwt_sign_rs256(input + 52, token, sizeof token) != 0) return 1;
#endif
    }
    return 0;
}
