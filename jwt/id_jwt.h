/* JSON Web Tokens of the provider: RS256 access and ID tokens minted with the active signing key,
 * verification of compact tokens (RS256 with a stored key, HS256 with the shared secret in
 * secret.key), and the list of revoked token identifiers in revoked.json. A token under
 * verification is outside input: every length, encoding and size in it is checked before use,
 * and no claim is trusted until its signature is. Nothing here logs or prints. */
#ifndef ID_JWT_H
#define ID_JWT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* The claims of a verified token: zeroed, then each text cut to fit (at a UTF-8 character
 * boundary) and NUL-terminated. A claim that is absent or of another type leaves its field empty
 * or 0; only the first member of a name counts. */
typedef struct id_jwt_claims {
    char iss[256];
    char sub[256];
    char username[256]; /* "username"; "preferred_username" only when there is no "username" */
    char email[256];
    char aud[256];      /* a string audience; an array gives "" */
    char scope[256];
    char jti[256];
    char token_use[8];  /* "access", "id", or "" for a first-form ID token */
    int64_t exp;        /* integers only: a fraction, an exponent or another type reads as 0 */
    int64_t iat;
} id_jwt_claims;

/* Results of id_jwt_verify. */
#define ID_JWT_VALID 0
#define ID_JWT_MALFORMED (-1)     /* not a token we take: layout, encoding, sizes, JSON, "alg" */
#define ID_JWT_BAD_SIGNATURE (-2) /* unknown key, or a signature that does not verify */
#define ID_JWT_EXPIRED (-3)       /* "exp" is a non-zero integer before the current second */
#define ID_JWT_NOT_A_HINT (-4)    /* id_jwt_verify_hint: issuer, use, subject or audience not so */

#define ID_JWT_DEFAULT_LIFETIME 3600 /* seconds, used when a mint is given a lifetime of 0 */
#define ID_JWT_SECRET_LEN 32         /* bytes of the HS256 secret */
/* A token buffer of this size holds any token the mints can produce (a claims text of at most
 * 3071 bytes: longer ones fail). */
#define ID_JWT_TOKEN_CAP 4520

/* The mints sign with the active key (RS256, header "alg", "typ", "kid") and write the compact
 * token into `out`. Their claims, compact JSON in this order:
 *   access:     iss?, sub?, username, preferred_username, email*, client_id* + aud*, scope,
 *               jti (16 fresh characters), token_use "access", iat, exp
 *   ID token:   iss?, sub?, aud, preferred_username, email*, nonce*, iat, exp
 *   ID token 2: iss?, sub, aud, preferred_username, email*, nonce*, auth_time (when > 0),
 *               at_hash (when access_token is non-empty), token_use "id", iat, exp
 * where ? is written when the argument is non-NULL (even ""), * when it is non-empty, the rest
 * always (NULL as ""); scope defaults to "openid profile"; iat is now and exp now + lifetime (0
 * means ID_JWT_DEFAULT_LIFETIME); at_hash is base64url of the first 16 bytes of SHA-256 over the
 * access token text. Texts are written as given, JSON-escaped. */

/* Returns 0, or -1 with `out` "" (when cap > 0): no randomness for the jti, a text that is not
 * UTF-8, claims over 3071 bytes, no usable signing key, or a token that does not fit in cap. */
int id_jwt_mint_access_token(const char *issuer, const char *subject, const char *username,
                             const char *email, const char *client_id, const char *scope,
                             uint32_t lifetime, char *out, size_t cap);
/* Returns 0, or -1 with `out` "" (when cap > 0): a text that is not UTF-8, claims over 3071
 * bytes, no usable signing key, or a token that does not fit in cap. */
int id_jwt_mint_id_token(const char *issuer, const char *subject, const char *username,
                         const char *email, const char *audience, const char *nonce,
                         uint32_t lifetime, char *out, size_t cap);
/* Results and `out` as for id_jwt_mint_id_token. */
int id_jwt_mint_id_token_v2(const char *issuer, const char *subject, const char *username,
                            const char *email, const char *audience, const char *nonce,
                            const char *access_token, int64_t auth_time, uint32_t lifetime,
                            char *out, size_t cap);

/* Verifies a compact token: RS256 with the stored key its "kid" names (active or retired), or
 * HS256 with the secret of id_get_secret_key; then its expiry. Returns ID_JWT_VALID (0) and fills
 * `claims` when non-NULL, or ID_JWT_MALFORMED (-1), ID_JWT_BAD_SIGNATURE (-2), ID_JWT_EXPIRED
 * (-3) with `claims` untouched. Issuer, audience, token use and revocation are the caller's. */
int id_jwt_verify(const char *token, id_jwt_claims *claims);
/* Verifies an ID token handed back as a hint (id_token_hint), expired or not: the checks of
 * id_jwt_verify but the expiry, then "iss" equal to `issuer`, "token_use" "id", a non-empty
 * "sub", and "aud" equal to `audience` unless that is NULL or "" (each compared whole). Returns
 * ID_JWT_VALID filling `claims` when non-NULL, or ID_JWT_MALFORMED, ID_JWT_BAD_SIGNATURE,
 * ID_JWT_NOT_A_HINT (also for a NULL or empty issuer) with `claims` untouched. */
int id_jwt_verify_hint(const char *token, const char *issuer, const char *audience,
                       id_jwt_claims *claims);

/* The 32-byte HS256 secret: the first 32 bytes of secret.key in the data directory. A missing or
 * shorter file is replaced, under the lock of secret.key, by 32 fresh random bytes written to
 * disk (mode 0600) before they are returned, so concurrent first callers get one secret (a file
 * another caller puts in place during the read is read, never taken for unreadable). Returns 0
 * with the secret in `out`, or -1 (file unreadable, no randomness, write failed) with `out`
 * zeroed. */
int id_get_secret_key(unsigned char out[32]);

/* Records `jti` as revoked through the second `exp` (0: for good) in revoked.json (under its lock),
 * with "sub" and "client_id" (NULL as ""), after dropping every entry that no longer revokes (see
 * id_revoke_is_jti); the identifier ends up held by one member, the last. An unparseable
 * revoked.json is kept as revoked.json.corrupt-<unix time> and replaced. Returns 0, or -1 (NULL or
 * empty jti, a text that is not UTF-8, lock, read or save failure) with revoked.json unchanged. */
int id_revoke_add_jti(const char *jti, int64_t exp, const char *sub, const char *client_id);
/* 1 when the first entry of `jti` in revoked.json has an "exp" not before the current second (a
 * token is accepted in its "exp" second), or an "exp" that is 0, missing or not an integer; also 1
 * for every identifier while revoked.json exists but cannot be read or parsed, or memory runs out
 * (fails closed). 0 otherwise (NULL or empty jti, no revoked.json). Takes no lock. */
int id_revoke_is_jti(const char *jti);
/* Removes from revoked.json (under its lock) every entry that no longer revokes: an "exp" that is
 * a non-zero integer before the current second, or an entry that is not an object; an entry
 * without a usable expiry stays. Returns 0 with the number removed in `removed` (when given;
 * saved only when non-zero; a missing file removes nothing), or -1 with `removed` 0 and
 * revoked.json as it was (lock, a file that cannot be read or parsed, which is left to fail
 * closed, save failure). */
int id_revoke_sweep(size_t *removed);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
