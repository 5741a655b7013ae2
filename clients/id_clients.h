/* OAuth clients: the registry in clients.json (registration, lookup, secret and redirect URI
 * checks, the masked listing, deletion) and client authentication by request parameters or HTTP
 * Basic credentials. Lookups read clients.json afresh without a lock; registration and deletion
 * change it under its lock and store nothing on any failure. Messages for people go to a
 * caller's buffer when both its pointer and its capacity are non-zero: it is emptied on entry
 * and receives the message of the first failing check, cut to fit. */
#ifndef ID_CLIENTS_H
#define ID_CLIENTS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

#define ID_CLIENT_MAX_REDIRECT_URIS 8

/* A client as the lookup fills it: zeroed, then each text cut to fit and NUL-terminated. */
typedef struct id_client {
    char client_id[256];     /* the identifier looked up: "client_" and 11 base64url characters */
    char name[256];          /* display name */
    char secret[256];        /* "sec_" and 22 base64url characters; "" for a public client */
    char redirect_uris[ID_CLIENT_MAX_REDIRECT_URIS][256]; /* the first 8 stored; "" for one that
                                                            is not a string, holds a NUL or does
                                                            not fit (it never matches) */
    int32_t redirect_uri_count; /* entries loaded, at most 8 */
    char scopes[256];        /* space-separated scope names; "" when not stored */
    bool is_public;          /* "public" is the JSON value true */
} id_client;

/* The redirect URI rule, in order: "http://" or "https://" (scheme letters in any case), no byte
 * 0x01-0x20 or 0x7F, no "#", a non-empty authority, at most 255 bytes. Returns 0, or -3 with the
 * message of the first failing check (NULL and "" fail the first). */
int id_redirect_uri_check(const char *redirect_uri, char *msg, size_t msg_cap);

/* Registers a client with one redirect URI and `scopes` ("openid profile" when NULL or ""),
 * confidential with a fresh secret or public (`is_public` non-zero) without one. Returns 0 with
 * the client id (18 characters) and secret (26; "" when public) copied into the buffers given;
 * -1 "missing name or redirect_uri"; -3 with the redirect URI rule's message; -1 without message
 * when a given buffer is too small for its value, randomness fails, or clients.json cannot be
 * locked, saved or read as an array (it is left byte for byte). Only 0 writes id and secret. */
int id_client_create(const char *name, const char *redirect_uri, const char *scopes,
                     char *client_id_out, size_t client_id_cap, char *secret_out,
                     size_t secret_cap, int is_public, char *msg, size_t msg_cap);
/* id_client_create with the `count` redirect URIs of `redirect_uris`, stored in that order, each
 * checked by the redirect URI rule: -1 "missing name or redirect_uri" for none, a NULL or empty
 * one; -3 "at most 8 redirect URIs" for more than ID_CLIENT_MAX_REDIRECT_URIS; -3 with the rule's
 * message for the first refused; otherwise the results of id_client_create. */
int id_client_create_v(const char *name, const char *const *redirect_uris, size_t count, const char *scopes,
                       char *client_id_out, size_t client_id_cap, char *secret_out, size_t secret_cap,
                       int is_public, char *msg, size_t msg_cap);

/* The first client of clients.json whose "client_id" is `client_id` (exact bytes). Returns 1 and
 * fills `out` (when non-NULL), or 0 with `out` untouched (NULL or empty id, no clients.json, one
 * that does not parse or whose root is not an array, no match). */
int id_client_find_by_id(const char *client_id, id_client *out);
/* As id_client_find_by_id, but -1 (`out` untouched) when clients.json exists and cannot be read,
 * does not parse or is not an array, or memory runs out: "no such client" (0) told apart from
 * "cannot tell now". */
int id_client_lookup_by_id(const char *client_id, id_client *out);
/* 1 when `secret` is non-empty and equals the record's non-empty secret (compared in constant
 * time for equal lengths), else 0; also 0 for a NULL record or secret. */
int id_client_verify_secret(const id_client *client, const char *secret);
/* 1 when `redirect_uri` is non-empty and equals one of the record's loaded redirect URIs byte
 * for byte (no normalisation, no prefix or case folding), else 0; also 0 for NULL arguments. */
int id_client_validate_redirect_uri(const id_client *client, const char *redirect_uri);
/* Compact JSON array of the stored client objects in stored order, members as stored except that
 * every "secret" is replaced by a trailing "secret_prefix" (its first 8 characters; "" when none)
 * and "public": false is appended where "public" is missing; elements that are not objects are
 * left out. "[]" when clients.json is missing, unreadable or not an array. A heap text the caller
 * frees (id_free), or NULL when memory runs out. */
char *id_client_list_json(void);
/* Removes the first client whose "client_id" is `client_id`. Returns 0, or -1 with clients.json
 * unchanged (NULL or empty id, no such client, no or unreadable clients.json, lock or save
 * failure). Nothing else refers back: the client's codes, tokens and consents stay. */
int id_client_delete(const char *client_id);

/* HTTP Basic credentials from HTTP_AUTHORIZATION: "Basic " (exactly), blanks, then base64 of
 * either alphabet (decoded text cut at 511 bytes, ending at a NUL) split at its first ":" into
 * the client id and the secret, neither unescaped, each cut to its buffer. Returns 0, or -1 with
 * both buffers untouched (no such header, no ":", a character outside the alphabet). */
int id_parse_basic_auth(char *client_id, size_t client_id_cap, char *secret, size_t secret_cap);
/* Authenticates the calling client: by `client_id` and `client_secret` (cut at 255 bytes) when a
 * client id is given, else by Basic credentials (then *from_header is set; it is cleared on
 * entry), whose id and secret are each tried form-urldecoded ("+" a space, "%" and two hex
 * digits that byte; skipped when that gives a NUL), then as they came. A public client without
 * a stored secret must present none; any other client must present its stored secret. Returns 0
 * and copies the whole record (stored secret included) into `out` when given, or -1 with `out`
 * untouched and "Missing client identification", "Client authentication failed: unknown client
 * or bad client_secret" or "public client must not authenticate with a secret". */
int id_authenticate_client(const char *client_id, const char *client_secret, id_client *out,
                           int *from_header, char *msg, size_t msg_cap);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
