/* User accounts: users.json, roles, password hash strings and the password policy. Lookups read
 * users.json afresh on every call without a lock; creation changes it under its lock. Messages
 * for people go to a caller's buffer when both its pointer and its capacity are non-zero: it is
 * emptied on entry and receives the message of the first failing check, cut to fit. */
#ifndef ID_ACCOUNTS_H
#define ID_ACCOUNTS_H

#include <stddef.h>
#include <stdint.h>

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

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
