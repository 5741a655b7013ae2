/* The signing keys as BearSSL key views, for programs that do RSA with BearSSL themselves. This
 * header includes <bearssl.h>; identity_common.h does not include it, so a program that does not
 * include it needs no BearSSL headers. The views point into this library's key table and follow
 * the layouts of BearSSL 0.6 (Debian 12's libbearssl-dev). Single-threaded use, as id_keys.h. */
#ifndef ID_KEYS_BEARSSL_H
#define ID_KEYS_BEARSSL_H

#include <stddef.h>

#include <bearssl.h>

#include "id_keys.h"

#ifdef __cplusplus
extern "C" {
#endif

#pragma GCC visibility push(default)

/* DER encoding of the public key used for key identifiers: SEQUENCE { rsaEncryption OID, NULL,
 * BIT STRING { SEQUENCE { INTEGER n, INTEGER e } } } with the OID and NULL directly in the outer
 * SEQUENCE (not the X.509 layout). Writes it to `dst` unless dst is NULL and returns its length
 * (292 bytes for 2048 bits and e = 65537), or 0 when it exceeds its limits. */
size_t id_spki_encode(unsigned char *dst, const br_rsa_public_key *pk);

/* The active key: stores pointers to process-wide views of it through the non-null arguments and
 * copies its kid into `kid` (24 bytes). The views stay valid until the next call of this function
 * or a rotation or pruning. Returns 0, or -1 when there is no usable active key. */
int id_keys_get_active(const br_rsa_private_key **sk, const br_rsa_public_key **pk, char *kid);
/* The first table entry whose kid is `kid`, active or retired, when it is usable (a 2048-bit RSA
 * key whose kid is its fingerprint); views as for id_keys_get_active but of their own. Returns 0,
 * or -1 when that entry is missing or unusable. */
int id_keys_find(const char *kid, const br_rsa_private_key **sk, const br_rsa_public_key **pk);

/* A private-key operation for RS256: writes into `sig` (256 bytes) the PKCS#1 v1.5 signature of
 * the 32-byte SHA-256 `digest` with the key `sk` (public half `pk`). Returns 1, or 0 on failure. */
typedef int (*id_rs256_signer)(const unsigned char *digest, const br_rsa_private_key *sk,
                               const br_rsa_public_key *pk, unsigned char *sig, void *ctx);
/* Makes id_jwt_sign_rs256, and so every mint, of this process compute its signatures with
 * `signer` (called with `ctx`) instead of the built-in engine; the token text is built and every
 * signature checked with the public key as before, so one that does not verify still fails the
 * signing with -1. NULL restores the built-in engine. Process-wide, as the key table. */
void id_jwt_set_rs256_signer(id_rs256_signer signer, void *ctx);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
