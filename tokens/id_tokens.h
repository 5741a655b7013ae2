/* The token store: browser sessions and their "id_session" cookie, single-use authorization codes
 * with PKCE, and rotating refresh tokens with reuse detection, all in tokens.json. Every change
 * takes the tokens.json lock and costs one load and one save of the document; lookups and the
 * listing read it without the lock. A tokens.json that does not parse is kept as
 * tokens.json.corrupt-<unix time> when a change replaces it. Identifiers, codes and tokens are
 * drawn from the kernel's generator: when it fails, nothing is stored and nothing handed out. A
 * presented identifier, code or token longer than 1024 bytes is refused like an empty one.
 * Texts handed back are cut to the caller's capacity and NUL-terminated.
 *
 * Every change that saves also drops the exchanged tokens and codes of families without an active
 * token, and exchanged codes past their expiry; once tokens.json has grown past 1 MiB it also
 * drops every session, code and refresh token past its expiry (presented later, such a code or
 * token is unknown: -1, not -2). */
#ifndef ID_TOKENS_H
#define ID_TOKENS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* Lifetimes, in seconds, counted from the moment of creation. */
#define ID_SESSION_LIFETIME 86400
#define ID_AUTH_CODE_LIFETIME 600
#define ID_REFRESH_TOKEN_LIFETIME 2419200
/* The exchanged refresh tokens remembered for reuse detection, per family (a family with no
 * active token left keeps none). */
#define ID_ROTATED_MAX 1024
/* The rotations a family may make: each remembers one exchanged token, and none is ever forgotten
 * while the family lives, so the rotation past this many ends the family instead (-1). */
#define ID_REFRESH_FAMILY_ROTATIONS ID_ROTATED_MAX
/* How long a deleted user's identifier is refused new sessions, codes and refresh tokens: far
 * longer than any request that looked the user up before the deletion can still take. */
#define ID_DELETED_USER_HOLD 86400

/* An exchanged authorization code: zeroed, then each text cut to fit and NUL-terminated. */
typedef struct id_auth_code {
    char user_id[256];
    char username[256];
    char client_id[256];
    char redirect_uri[256];
    char scope[256];
    char code_challenge[256];
    char code_challenge_method[32]; /* as stored: "plain", "S256", ...; "" when stored empty */
    char nonce[256];                /* "" when none */
    int64_t auth_time;              /* seconds since the Unix epoch; 0 when none */
} id_auth_code;

/* A refresh token as rotation issues it or the lookup finds it. */
typedef struct id_refresh_token {
    char token[256];
    char user_id[256];
    char username[256];
    char client_id[256];
    char scope[256];
    char family[256]; /* the first token of the chain */
    int64_t expires_at;
    int64_t auth_time; /* the user's sign-in time behind the grant (seconds since the Unix epoch);
                          0 when unknown, as for a token stored without one */
} id_refresh_token;

/* What id_tokens_sweep removed, by kind. */
typedef struct id_tokens_swept {
    size_t sessions;       /* expired, or not a record */
    size_t auth_codes;     /* expired, or not a record; with the exchanged codes that can end
                              nothing (expired, or of a family with no active token) */
    size_t refresh_tokens; /* expired, or without a token */
    size_t rotated;        /* exchanged tokens of families with no active token */
    size_t deleted_users;  /* deletion marks past their hold */
} id_tokens_swept;

/* --- Sessions ---------------------------------------------------------------------------- */

/* Stores a session of `user_id` and `username` (each NULL: not recorded) valid for
 * ID_SESSION_LIFETIME. Returns 0 and copies its identifier ("sess_" and 32 base64url characters)
 * into `id_out` (when non-NULL), or -1 with `id_out` untouched (no randomness, lock, unreadable
 * tokens.json, "sessions" not an object, a user being deleted, failed save). */
int id_session_create(const char *user_id, const char *username, char *id_out, size_t id_cap);
/* 1 when session `session_id` exists and has not expired (expiry equal to now still counts),
 * else 0. On 1 copies its "user_id" and "username" into the buffers given (a member that is not a
 * string gives ""; a missing member leaves its buffer as it was); on 0 writes nothing. The same
 * check with the role of the session's user is id_session_verify_role (id_accounts.h). */
int id_session_verify(const char *session_id, char *user_id_out, size_t user_id_cap,
                      char *username_out, size_t username_cap);
/* id_session_verify that also gives the session's sign-in time: on 1, *created_at (when non-NULL)
 * is its stored "created_at" in seconds since the Unix epoch, 0 for a session stored without one
 * (or with one that is not an integer); on 0 nothing is written. */
int id_session_verify_v(const char *session_id, char *user_id_out, size_t user_id_cap,
                        char *username_out, size_t username_cap, int64_t *created_at);
/* Removes session `session_id` and saves tokens.json, also when it was not stored. Returns 0, or
 * -1 (NULL or empty identifier, lock, unreadable tokens.json, failed save). */
int id_session_delete(const char *session_id);
/* Removes every session whose "user_id" is `user_id` and saves, also when there was none.
 * Returns 0, or -1 as id_session_delete. */
int id_session_delete_by_user(const char *user_id);

/* The value of the first "id_session" cookie of HTTP_COOKIE, cut to cap - 1 bytes. Returns 1 when
 * at least one byte was copied; 0 for an empty value (`out` then holds "") and when there is no
 * such cookie, no header, a NULL out or cap 0 (`out` untouched). */
int id_get_cookie_session(char *out, size_t cap);
/* Writes the response header line "Set-Cookie: id_session=<value>; Path=/; HttpOnly;
 * SameSite=Lax; Max-Age=<max_age>" (cut to 599 bytes), with "; Secure" appended when the line
 * has at most 589 bytes and HTTP_X_FORWARDED_PROTO is "https" (any case) or the base URL starts
 * with "https://". A value holding a control byte or ";" writes nothing. NULL is "". */
void id_set_session_cookie(const char *value, int max_age);
/* id_set_session_cookie("", 0): the browser drops the cookie. */
void id_clear_session_cookie(void);

/* --- Authorization codes ----------------------------------------------------------------- */

/* Stores a code for the texts given (NULL user, username, client or redirect URI: not recorded;
 * NULL or empty scope: "openid profile"; NULL challenge: ""; NULL or empty method: "plain"; an
 * empty nonce and an auth_time <= 0 are not recorded), valid for ID_AUTH_CODE_LIFETIME. Returns 0
 * and copies the code ("code_" and 32 base64url characters) into `code_out` (when non-NULL); -3
 * when the method is neither "S256" nor "plain" (exact case) or a non-empty challenge is not of
 * its method's form ("S256": 43 base64url characters; "plain": a verifier's form, see
 * id_auth_code_consume); else -1 (no randomness, lock, unreadable tokens.json, "auth_codes" not
 * an object, a user being deleted, failed save). `code_out` is untouched unless 0. */
int id_auth_code_create_v(const char *user_id, const char *username, const char *client_id,
                          const char *redirect_uri, const char *scope, const char *code_challenge,
                          const char *code_challenge_method, const char *nonce, int64_t auth_time,
                          char *code_out, size_t code_cap);
/* id_auth_code_create_v without nonce and authentication time. */
int id_auth_code_create(const char *user_id, const char *username, const char *client_id,
                        const char *redirect_uri, const char *scope, const char *code_challenge,
                        const char *code_challenge_method, char *code_out, size_t code_cap);
/* Exchanges `code` once: the first attempt that finds it removes it, whatever the checks decide.
 * Returns 0 (filling `out` when non-NULL), -1 (NULL or empty code or client, unknown code, lock,
 * unreadable tokens.json, failed save: the code stays), -2 expired, -3 another client (or none
 * stored), -4 redirect URI differs (checked when both are non-empty), -5 PKCE failed: a stored
 * method other than "S256" or "plain" ("" is "plain"); a challenge stored and the verifier
 * missing, not 43 to 128 characters of A-Z a-z 0-9 - . _ ~, or not matching ("S256":
 * base64url(SHA-256(verifier)), "plain": the verifier itself); or a verifier presented for a code
 * stored without a challenge; -6 a code that id_auth_code_exchange exchanged, presented again
 * before its expiry (see there). `out` is written only on 0. */
int id_auth_code_consume(const char *code, const char *client_id, const char *redirect_uri,
                         const char *code_verifier, id_auth_code *out);
/* id_auth_code_consume that, in the same change of tokens.json, stores the grant's refresh token
 * (a new family of the code's user, username, client, scope and auth_time, as
 * id_refresh_token_create_v) and remembers the code as exchanged until the code's own expiry:
 * presented again before then, it answers -6 and every active token of that family is removed
 * with the refusal. Results as id_auth_code_consume; -1 also when `refresh_out` is NULL or
 * `refresh_cap` below 47 (nothing changed), no randomness, "refresh" not an array (the code
 * stays) or the code's user is being deleted (the code is burnt). On 0 fills `out` (when non-NULL)
 * and copies the token ("rt_" and 43 base64url characters) into `refresh_out`; else both are
 * untouched. */
int id_auth_code_exchange(const char *code, const char *client_id, const char *redirect_uri,
                          const char *code_verifier, id_auth_code *out, char *refresh_out,
                          size_t refresh_cap);

/* --- Refresh tokens ---------------------------------------------------------------------- */

/* Stores a new token heading its own family (NULL user: not recorded; NULL username or client:
 * ""; NULL or empty scope: "openid profile"), valid for ID_REFRESH_TOKEN_LIFETIME. Returns 0 and
 * copies the token ("rt_" and 43 base64url characters) into `token_out` (when non-NULL), or -1
 * with it untouched (no randomness, lock, unreadable tokens.json, "refresh" not an array, a user
 * being deleted, failed save). */
int id_refresh_token_create(const char *user_id, const char *username, const char *client_id,
                            const char *scope, char *token_out, size_t token_cap);
/* id_refresh_token_create that also records the user's sign-in time `auth_time` (seconds since
 * the Unix epoch; <= 0: not recorded), which every successor of the family carries. */
int id_refresh_token_create_v(const char *user_id, const char *username, const char *client_id,
                              const char *scope, int64_t auth_time, char *token_out,
                              size_t token_cap);
/* Exchanges `token` for a successor of the same family, user, client, scope and sign-in time,
 * valid for ID_REFRESH_TOKEN_LIFETIME, and remembers `token` as exchanged (a family's exchanged
 * tokens are all kept, whatever other families do). `client_id` NULL or "": no client check. Returns 0
 * (filling `new_token` and `out` when non-NULL); -2 expired and -3 held by another client (the
 * token is removed); -4 an exchanged token presented again (every active token of its family is
 * removed); -1 when the family has made ID_REFRESH_FAMILY_ROTATIONS rotations (the family is
 * ended: every active token of it is removed, the holder signs in again), and otherwise (NULL or
 * empty token, unknown token, no randomness, lock, unreadable tokens.json, failed save: nothing
 * changed). Outputs are written only on 0. */
int id_refresh_token_rotate(const char *token, const char *client_id, char *new_token,
                            size_t new_token_cap, id_refresh_token *out);
/* Removes the active token `token`. Returns 0, or -1 (NULL or empty token, not active, lock,
 * unreadable tokens.json, failed save). */
int id_refresh_token_revoke(const char *token);
/* Removes every active token whose "user_id" is `user_id` and saves, also when there was none.
 * Returns 0, or -1 (NULL or empty identifier, lock, unreadable tokens.json, failed save). */
int id_refresh_token_revoke_by_user(const char *user_id);
/* Removes every active token of the family of `token` (active, exchanged, or naming the family
 * itself). With a non-empty `client_id`, only when an active token of that family belongs to that
 * client. Returns the number removed, or 0 (nothing removed, or any failure). */
int id_refresh_token_revoke_family(const char *token, const char *client_id);
/* As id_refresh_token_revoke_family, telling a failure apart: the number removed (0: nothing of
 * that client's to remove, or a NULL, empty or overlong token), or -1 when tokens.json cannot be
 * locked, read or saved (nothing changed). */
int id_refresh_token_end_family(const char *token, const char *client_id);
/* 1 when `token` is active (expired or not: the caller checks expires_at and client_id), filling
 * `out` when non-NULL (family: the token itself when none is stored); else 0, `out` untouched. */
int id_refresh_token_find(const char *token, id_refresh_token *out);
/* 1 when tokens.json is missing or reads as a JSON object, else 0 (it exists but cannot be read or
 * parsed, its root is not an object, or memory runs out): tells a caller whose -1 may mean
 * "unknown" or "store failure" which one it was. Reads only. */
int id_tokens_readable(void);

/* Removes from tokens.json everything that can no longer be used, whatever its size: sessions,
 * codes and refresh tokens past their expiry, exchanged tokens and codes of families with no
 * active token, exchanged codes past their expiry,
 * deletion marks past their hold, and records of the wrong type. Returns 0 and fills `out` (when
 * non-NULL) with the counts (tokens.json saved only when one is non-zero; a missing file is an
 * empty store), or -1 with `out` zeroed (lock, unreadable or unparseable tokens.json, which stays
 * as it is, failed save). */
int id_tokens_sweep(id_tokens_swept *out);

/* Compact JSON {"sessions":[...],"refresh":[...],"rotated":[...]} of the stored sessions, active
 * tokens (each with "token_masked", its first and last six characters) and exchanged tokens, in
 * stored order. A non-empty `user_id` keeps only that user's sessions and active tokens, and the
 * exchanged tokens of those tokens' families (an exchanged token presented again ends its family,
 * so one user never sees another's). A heap
 * text the caller frees (id_free): "{}" when it cannot be produced, NULL only without memory. */
char *id_refresh_token_list_json_scoped(const char *user_id);
/* id_refresh_token_list_json_scoped(NULL). */
char *id_refresh_token_list_json(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
