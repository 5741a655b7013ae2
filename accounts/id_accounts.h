/* User accounts: users.json, roles, password hash strings and the password policy, the admin API
 * gate, and the session check that also gives the user's role. Lookups read users.json afresh on
 * every call without a lock; creation, password change and deletion change it under its lock (a
 * password is hashed before the lock is taken). Messages for people go to a caller's buffer when
 * both its pointer and its capacity are non-zero: it is emptied on entry and receives the message
 * of the first failing check, cut to fit. */
#ifndef ID_ACCOUNTS_H
#define ID_ACCOUNTS_H

#include <stddef.h>
#include <stdint.h>

#include "id_foundation.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* A user as the lookups fill it: zeroed, then each text cut to fit and NUL-terminated. */
typedef struct id_user {
    char id[256];        /* "usr_" and 11 base64url characters */
    char username[256];  /* as stored */
    char email[256];     /* "" when none */
    char pass_hash[256]; /* the password hash string */
    char role[24];       /* normalised: "owner", "admin" or "user" */
    int64_t created;     /* seconds since the Unix epoch; 0 when not an integer */
    int64_t last_login;
} id_user;

/* The normalised role of `role`: "owner" or "admin" when it equals one ignoring ASCII case, else
 * "user" (also for NULL or ""). A constant text. */
const char *id_role_name(const char *role);

/* The first user of users.json whose "id" is `id` (exact bytes). Returns 1 and fills `out` (when
 * non-NULL), or 0 with `out` untouched (NULL or empty id, no users.json, a root that is not an
 * array, no match). */
int id_user_find_by_id(const char *id, id_user *out);
/* As id_user_find_by_id, matching "username" exactly. */
int id_user_find_by_username(const char *username, id_user *out);
/* As id_user_find_by_id, matching "username" ignoring ASCII case. */
int id_user_find_by_username_ci(const char *username, id_user *out);
/* As id_user_find_by_id and id_user_find_by_username_ci, but -1 (`out` untouched) when users.json
 * exists and cannot be read, does not parse or is not an array, or memory runs out: a caller can
 * tell "no such user" (0) from "cannot tell now" and keep what depends on the answer. */
int id_user_lookup_by_id(const char *id, id_user *out);
int id_user_lookup_by_username_ci(const char *username, id_user *out);

/* Creates a user; the first of a store is "owner", later ones id_role_name(role). Returns 0 and
 * copies the new "usr_" identifier into id_out (cut to id_cap) when given; else, with nothing
 * stored and id_out untouched, the first failure: -1 "missing username or password"; -3 for a
 * username over 64 bytes, "username must not contain control or formatting characters" (C0, DEL,
 * C1, U+2028, U+2029, Unicode format characters: U+00AD, U+0600-0605, U+061C, U+06DD, U+070F,
 * U+0890-0891, U+08E2, U+180E, U+200B-200F, U+202A-202E, U+2060-206F, U+FEFF, U+FFF9-FFFB,
 * U+110BD, U+110CD, U+13430-1343F, U+1BCA0-1BCA3, U+1D173-1D17A, U+E0001, U+E0020-E007F), "username
 * must not begin or end with a blank" (U+0020, U+00A0, U+1680, U+2000-200A, U+202F, U+205F,
 * U+3000), an email over 254, id_email_check, id_password_policy; -2 "user already exists" (ASCII
 * case ignored); -1 with no message when a text is not UTF-8, randomness, the lock or the save
 * fails, or users.json does not parse or is not an array (it is left as it is). Stored names are
 * read as they are, whatever they hold. */
int id_user_create_role(const char *username, const char *password, const char *email,
                        const char *role, char *id_out, size_t id_cap, char *msg, size_t msg_cap);
/* id_user_create_role with no role requested. */
int id_user_create_v(const char *username, const char *password, const char *email, char *id_out,
                     size_t id_cap, char *msg, size_t msg_cap);
/* id_user_create_role with no role requested and no message buffer. */
int id_user_create(const char *username, const char *password, const char *email, char *id_out,
                   size_t id_cap);

/* Replaces every "pass_hash" of user `id` by one fresh hash of `password`, the record's last member
 * (sessions and refresh tokens stay). Returns 0, or with users.json untouched the first failure: -1
 * "missing user id or password"; -1 "user not found" (also: users.json not a readable array); -3
 * id_password_policy against the stored username; -1 "failed to hash password", "failed to lock
 * user store", "failed to save user store"; -1 and no message when, under the lock, users.json no
 * longer parses as an array. */
int id_user_set_password(const char *id, const char *password, char *msg, size_t msg_cap);
/* Ends every session, unconsumed code and refresh token of user `id` in tokens.json, refusing
 * new ones for it for ID_DELETED_USER_HOLD seconds, then removes its first record from users.json.
 * Returns 0; or -1 with users.json untouched: nothing changed (NULL or empty id, users.json
 * unreadable or unparseable, tokens.json lock, unreadable or failed save); `id` not in users.json
 * (its grants are ended all the same, without the refusal); users.json lock, unreadable or failed
 * save under it (the grants are ended: call again to finish). Consents and audit entries stay; the
 * last administrator is the caller's test. */
int id_user_delete(const char *id);

/* What id_user_sweep_grants removed. */
typedef struct id_grants_swept {
    size_t tokens;   /* sessions, unconsumed codes and refresh tokens in tokens.json */
    size_t consents; /* consents in consents.json */
} id_grants_swept;

/* Removes the grants of users that no longer exist: the sessions, codes and refresh tokens of
 * tokens.json and the consents of consents.json whose user identifier is not in users.json
 * (records that name no user stay). Each store changes under its own lock, reading users.json
 * once that lock is held, so that no user stored before is missed, whatever grants it got since;
 * saved only when something goes. Returns 0 with the counts in `out` (when given), also when
 * users.json is missing (no user can be told gone: nothing is removed); -1 when users.json cannot
 * be read, does not parse or is not an array (nothing removed), or a store's lock, read or save
 * failed (that store as it was, the other's count stands). */
int id_user_sweep_grants(id_grants_swept *out);

/* 1 when the user `id` exists and is an administrator ("owner" or "admin"), else 0. */
int id_user_is_admin_by_id(const char *id);
/* The number of users whose role is "owner" or "admin" (ASCII case ignored); 0 without a
 * readable users.json whose root is an array. */
int id_user_admin_count(void);
/* 1 when the user `id` is an administrator and the only one, else 0 (also for NULL or ""). */
int id_user_is_last_admin(const char *id);
/* The admin API gate: 1 when `user_id` names an administrator (id_user_is_admin_by_id), or when
 * cfg's admin_secret is non-empty and equals the X-Identity-Admin header (HTTP_X_IDENTITY_ADMIN);
 * else 0. Only a present but different header is logged, with REMOTE_ADDR ("unknown" if unset). */
int id_api_admin_ok(const id_config *cfg, const char *user_id);
/* Every user as a compact JSON array of {"id","username","email","role","created","last_login"}
 * (each stored member that is present; the role normalised; never "pass_hash"), in stored order;
 * "[]" without a readable users.json whose root is an array. A heap text (id_free), or NULL when
 * memory runs out. */
char *id_user_list_json(void);

/* id_session_verify (id_tokens.h) filling every buffer given (a missing member gives ""), and the
 * role of the session's user now: "owner", "admin", or "user" (also when the user no longer
 * exists). */
int id_session_verify_role(const char *session_id, char *user_id_out, size_t user_id_cap,
                           char *username_out, size_t username_cap, char *role_out, size_t role_cap);

/* The address rule: 0 for NULL, "" or name@domain.tld (one "@" not first, a domain of two or more
 * labels joined by single dots); -3 with "email must not contain whitespace" for a byte 0x01-0x20
 * or 0x7F, else -3 with "email must look like name@example.com". */
int id_email_check(const char *email, char *msg, size_t msg_cap);

/* Writes "pbkdf2$100000$<32 hex salt>$<64 hex key>" (111 characters; PBKDF2-HMAC-SHA-256 of the
 * password's bytes, 16 fresh salt bytes) into out. Returns 0, or -1 (NULL argument, cap below
 * 112, randomness failed) with out holding "" when cap > 0. */
int id_hash_password(const char *password, char *out, size_t cap);
/* 1 when `password` matches the hash string `stored` (with the iteration count it names, 1 to
 * 10000000; hex digits of either case), else 0, also for NULL or a string of any other form. */
int id_verify_password(const char *password, const char *stored);
/* 0 when the password is acceptable, else -3 with the message of the first failed rule: "password
 * too short (min 8)" (a NULL password too), "password too long (max 256)" (bytes), "password must
 * differ from username" (equal bytes; username may be NULL). The message buffer is emptied first. */
int id_password_policy(const char *username, const char *password, char *msg, size_t msg_cap);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
