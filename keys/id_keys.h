/* The provider's RSA signing keys: the key table loaded from keys.json (at most eight keys, one
 * active), key generation, the published JSON Web Key Set and RS256 signing. The table lives for
 * the process; it is loaded (or the first key pair created) once, on the first call of any
 * operation below. Single-threaded use only, as in a CGI process. The keys as BearSSL views are
 * in id_keys_bearssl.h, which this header does not include. */
#ifndef ID_KEYS_H
#define ID_KEYS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

#define ID_KEYS_MAX 8

/* One key of the table. The fields from `decoded` on are derived from `der` on first use and
 * never stored. A key is usable when its DER is a 2048-bit RSA private key whose numbers agree
 * (n = p * q, e * dp = 1 mod p - 1, e * dq = 1 mod q - 1, iq * q = 1 mod p) and whose kid is the
 * fingerprint of its public key; other entries are neither published nor used to sign. */
typedef struct id_key_entry {
    char kid[24];               /* key identifier, 16 characters for generated keys */
    char alg[8];                /* always "RS256" */
    int64_t created;            /* creation time, seconds since the Unix epoch */
    int32_t status;             /* 1 active, 2 retired */
    int32_t has_private;        /* 1 when der holds a private key */
    uint64_t der_len;           /* length of der */
    unsigned char der[2048];    /* PKCS#8 PrivateKeyInfo (a bare PKCS#1 RSAPrivateKey is accepted) */
    int32_t decoded;            /* 1 once decoded and checked against kid */
    /* Reserved, kept for the layout (keys are read from der): the room and alignment of
     * BearSSL 0.6's key decoder on 64-bit systems, which the library's build checks. */
    union {
        unsigned char bytes[2192];
        void *align_pointer;
        size_t align_size;
    } reserved;
    unsigned char n[257];       /* public modulus, unsigned big-endian */
    unsigned char e[4];         /* public exponent, minimal big-endian */
    uint64_t n_len;
    uint64_t e_len;
} id_key_entry;

/* Loads the table from keys.json under its lock (12000 retries of 5 ms); when keys.json is missing
 * creates, saves and loads a first key pair; an unparseable keys.json is renamed aside to
 * keys.json.corrupt-<unix time> and replaced likewise. Returns 0 when the table is ready, -1 when
 * the lock is not obtained, keys.json cannot be read or holds no key entry (it is left as it
 * is), the set-aside fails, or generation or saving fails (a failed save is retried 3 times). */
int id_keys_load_or_create(void);
/* Reloads keys.json under the lock, retires the active key and adds a fresh active one last,
 * saved; elements of "keys" the table did not take (unusable, or beyond the eighth key) are
 * written back as they were, where they stood. Returns 0, or -1 when the table is full (8 keys:
 * prune first), generation fails, the published key set (id_keys_jwks_document) cannot be
 * written or the save fails; on -1 keys.json, the published key set and this process's table are
 * as they were. */
int id_keys_rotate(void);
/* Reloads keys.json under the lock, removes the table's retired keys created more than `age_days`
 * days ago (never the one "active" names, wherever it stands) and saves, writing back what the
 * table did not take and publishing as rotation does. Returns the number removed (0: nothing
 * saved), or -1 with keys.json, the published key set and this process's table as they were. */
int id_keys_prune(int32_t age_days);
/* Compact JSON array of {"kid","created","alg","status"} objects, one per table entry in table
 * order (kids JSON-escaped), no key material. A heap text the caller frees (id_free), or NULL on
 * failure. */
char *id_keys_list_json(void);
/* As id_keys_prune with the age in seconds: removes the retired keys created more than `max_age`
 * seconds ago (never the active one); with `dry_run` non-zero saves nothing. Returns the number
 * removed (or that would be), their kids written into `kids_out` when given (separated by single
 * spaces, cut to kids_cap), or -1 with keys.json, the table and the published key set as they
 * were (`kids_out` then "" when kids_cap > 0). */
int id_keys_prune_age(int64_t max_age, int dry_run, char *kids_out, size_t kids_cap);
/* keys.json as it is, for an operator: read without the lock, creating nothing, loading nothing
 * into this process's table. Compact JSON {"state": "missing" | "read" | "unreadable" |
 * "invalid", "active": <kid named active>, "keys": [{"kid", "created", "alg", "status",
 * "usable"}] (the entries the table would take), "usable": <count>, "jwks_file": {"path" ("" when
 * none is configured), "state": "none" | "missing" | "current" | "stale" | "unreadable"},
 * "problems": [one line each: no list of keys, no usable key, an active key that is not usable, a
 * stale or unreadable published key set]}. Whether keys.json parses is in "state" alone. A heap
 * text (id_free), or NULL when memory runs out. */
char *id_keys_inspect_json(void);

/* Generates a 2048-bit RSA key pair with exponent 65537 into `entry`: kid, PKCS#8 der, n, e,
 * status active, created now, decoded and checked. Returns 0, or -1 (no randomness, generation or
 * encoding failure); the entry is then unusable. */
int id_key_generate(id_key_entry *entry);
/* The published key array: one {"kty","use","alg","kid","n","e"} object per usable key, in table
 * order, compact ("[]" when none). A heap text the caller frees (id_free), or NULL on failure. */
char *id_keys_jwks_json(void);
/* The published key set, the jwks program's whole body: {"keys":<id_keys_jwks_json()>} and a line
 * feed. A heap text (id_free), or NULL on failure. When the configuration names a public key-set
 * file (jwks_file, IDENTITY_JWKS_FILE), every change of keys.json (the first key, a rotation, a
 * pruning) writes this text to it before it returns, under the keys.json lock, atomically, mode
 * 0644; a rotation or pruning that cannot write it fails and changes nothing; and loading the
 * keys rewrites a file that is missing or holds another key set. */
char *id_keys_jwks_document(void);
/* Signs `payload` (JSON claims text, at most 3071 bytes, signed exactly as given) with the active
 * key into a compact RS256 JWT in `dst`; the signature is verified with the public key before it
 * is written. Returns 0, or -1 when there is no usable active key, the payload is too long,
 * signing fails, the signature does not verify, or the whole token and its NUL do not fit in
 * `cap` (`dst` then holds an empty string when cap > 0). */
int id_jwt_sign_rs256(const char *payload, char *dst, size_t cap);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
