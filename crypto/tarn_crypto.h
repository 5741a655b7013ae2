/* Cryptographic primitives of the identity core: SHA-256, HMAC-SHA-256, PBKDF2-HMAC-SHA-256,
 * base64url, hex, system randomness, random tokens and the comparison of secrets. No function
 * keeps state or does I/O (except the random ones, which read the kernel's generator); all are
 * safe from any thread. */
#ifndef TARN_CRYPTO_H
#define TARN_CRYPTO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* Running SHA-256 state, owned by the caller. `total` counts message bytes fed so far; the byte
 * at index total % 64 of `block` is the next free one. */
typedef struct tarn_sha256_ctx {
    uint32_t state[8];
    uint64_t total;
    unsigned char block[64];
} tarn_sha256_ctx;

/* Starts a digest: state = the initial hash words, total = 0. */
void tarn_sha256_init(tarn_sha256_ctx *ctx);
/* Feeds `len` bytes of `data`; len 0 returns at once without reading data. */
void tarn_sha256_update(tarn_sha256_ctx *ctx, const void *data, size_t len);
/* Writes the 32-byte digest to `out`. The context is neither wiped nor reset: init it again to
 * start another digest. */
void tarn_sha256_final(tarn_sha256_ctx *ctx, unsigned char out[32]);
/* One-shot SHA-256 of `len` bytes into the 32 bytes at `out`. */
void tarn_sha256(const void *data, size_t len, unsigned char out[32]);

/* HMAC-SHA-256 (RFC 2104) of `msg` under `key`, 32 bytes into `out`. Any lengths, 0 included;
 * a key over 64 bytes is replaced by its digest. */
void tarn_hmac_sha256(const void *key, size_t key_len, const void *msg, size_t msg_len,
                      unsigned char out[32]);

/* PBKDF2 (RFC 8018) with HMAC-SHA-256: derives `out_len` bytes into `out`. Returns 0, or -1 with
 * `out` untouched when password, salt or out is null, iterations is 0, out_len is 0, or out_len
 * exceeds (2^32 - 1) * 32 (RFC 8018 "derived key too long"). An empty password or salt (valid
 * pointer, length 0) is accepted. Allocates nothing. */
int tarn_pbkdf2_sha256(const void *password, size_t password_len, const void *salt,
                       size_t salt_len, uint32_t iterations, unsigned char *out, size_t out_len);

/* Compares two secrets over their whole length, with no exit at the first difference: 1 when
 * a_len == b_len and the bytes are equal, else 0. The time depends on the lengths (which may
 * show), never on the bytes or where they differ. Empty equals empty; a NULL pointer with a
 * nonzero length is unequal. Every comparison of secrets in the library goes through it. */
int tarn_ct_equal(const void *a, size_t a_len, const void *b, size_t b_len);

/* Unpadded base64url of `len` bytes. Returns the text length L (NUL not counted) with the text
 * and a NUL in `out`, or -1 with `out` untouched when cap < L + 1 or L would exceed INT_MAX. */
int tarn_base64url_encode(const void *data, size_t len, char *out, size_t cap);
/* Lenient base64 decoder for both alphabets ("+" or "-", "/" or "_", "=" padding optional; line
 * feed, carriage return and space skipped). Bytes past `cap` are dropped without error. Returns 0
 * and stores the count through `out_len` (when non-null), or -1 at the first character outside
 * the alphabet (bytes decoded before it stay in `out`, `out_len` is not set). `out` is not
 * NUL-terminated. */
int tarn_base64url_decode(const char *text, size_t len, unsigned char *out, size_t cap,
                          uint64_t *out_len);
/* Lower-case hex of `len` bytes and a NUL; writes nothing at all when cap < 2 * len + 1 (or that
 * size overflows). */
void tarn_hex_encode(const void *data, size_t len, char *out, size_t cap);
/* Decodes `len` hex digits (either case) into `out`, no NUL. Returns len / 2, or -1 when len is
 * odd, cap < len / 2, len / 2 > INT_MAX, or a character is not a hex digit (bytes before it stay
 * written). */
int tarn_hex_decode(const char *text, size_t len, unsigned char *out, size_t cap);

/* Fills `out` with `count` bytes from the kernel's generator (getrandom(2); short reads and
 * interruptions are retried). Returns 0 (count 0 included), or -1 when the generator fails or out
 * is null (the buffer content is then unspecified and must not be used). */
int tarn_random_bytes(void *out, uint32_t count);
/* Writes the unpadded base64url text of `nbytes` fresh random bytes and a NUL into `out`.
 * Returns 0, or -1 when randomness or memory fails, nbytes is 0, or cap is below the text
 * length + 1 (`out` is then untouched). 8 bytes give 11 characters, 12 give 16, 16 give 22, 24 give
 * 32, 32 give 43. */
int tarn_random_token(char *out, size_t cap, size_t nbytes);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
