#include "web/openssl_signer.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>

#include "id_keys_bearssl.h"

namespace web {
namespace {

struct Cached {
    std::string modulus;  // of the key `key` was made from
    EVP_PKEY* key = nullptr;
};
Cached g_cached;

BIGNUM* bn(const unsigned char* p, std::size_t len) { return BN_bin2bn(p, static_cast<int>(len), nullptr); }

// The OpenSSL form of a key store key: n, e, the CRT numbers, and d = e^-1 mod (p-1)(q-1),
// which OpenSSL insists on although it signs with the CRT numbers.
EVP_PKEY* to_openssl(const br_rsa_private_key* sk, const br_rsa_public_key* pk) {
    BIGNUM* n = bn(pk->n, pk->nlen);
    BIGNUM* e = bn(pk->e, pk->elen);
    BIGNUM* p = bn(sk->p, sk->plen);
    BIGNUM* q = bn(sk->q, sk->qlen);
    BIGNUM* dp = bn(sk->dp, sk->dplen);
    BIGNUM* dq = bn(sk->dq, sk->dqlen);
    BIGNUM* iq = bn(sk->iq, sk->iqlen);
    BIGNUM* p1 = BN_dup(p);
    BIGNUM* q1 = BN_dup(q);
    BIGNUM* phi = BN_new();
    BIGNUM* d = BN_new();
    BN_CTX* bn_ctx = BN_CTX_new();
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* ctx = nullptr;
    EVP_PKEY* key = nullptr;
    const bool numbers = n && e && p && q && dp && dq && iq && p1 && q1 && phi && d && bn_ctx && build &&
                         BN_sub_word(p1, 1) && BN_sub_word(q1, 1) && BN_mul(phi, p1, q1, bn_ctx) &&
                         BN_mod_inverse(d, e, phi, bn_ctx);
    if (numbers && OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_D, d) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_FACTOR1, p) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_FACTOR2, q) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, iq) &&
        (params = OSSL_PARAM_BLD_to_param(build)) && (ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr)) &&
        EVP_PKEY_fromdata_init(ctx) == 1) {
        if (EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) != 1) key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_CTX_free(bn_ctx);
    BN_clear_free(d);
    BN_clear_free(phi);
    BN_clear_free(p1);
    BN_clear_free(q1);
    BN_clear_free(iq);
    BN_clear_free(dq);
    BN_clear_free(dp);
    BN_clear_free(q);
    BN_clear_free(p);
    BN_free(e);
    BN_free(n);
    return key;
}

int sign(const unsigned char* digest, const br_rsa_private_key* sk, const br_rsa_public_key* pk, unsigned char* sig,
         void*) {
    const std::string modulus(reinterpret_cast<const char*>(pk->n), pk->nlen);
    if (!g_cached.key || g_cached.modulus != modulus) {
        EVP_PKEY_free(g_cached.key);
        g_cached.key = to_openssl(sk, pk);
        g_cached.modulus = modulus;
        if (!g_cached.key) return 0;
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(g_cached.key, nullptr);
    std::size_t len = 256;
    const bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
                    EVP_PKEY_sign(ctx, sig, &len, digest, 32) == 1 && len == 256;
    EVP_PKEY_CTX_free(ctx);
    return ok ? 1 : 0;
}

}  // namespace

void use_openssl_signer() { id_jwt_set_rs256_signer(sign, nullptr); }

}  // namespace web
