/* Scope lists and consents. A scope list names scopes separated by spaces, tabs or commas (a run
 * of separators counts as one; any other byte belongs to a name); names compare exactly, byte for
 * byte, and names longer than 255 bytes never enter a produced list. consents.json records, per
 * user and client, the scopes the user granted: {"<user id>": {"<client id>": {"scopes": "...",
 * "granted": <unix time>}}}. Queries read it afresh without the lock; grants and revocations
 * change it under its lock (2000 retries of 5 ms). */
#ifndef ID_CONSENT_H
#define ID_CONSENT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* Writes into `out` the names of `requested` that `allowed` has ("openid profile email" when
 * allowed is NULL or empty), in request order, each once, joined by single spaces. Stops at the
 * first name that does not fit with its NUL in `cap`. Nothing happens when out is NULL or cap 0. */
void id_scope_intersect(const char *requested, const char *allowed, char *out, size_t cap);

/* 1 when the consent of `user_id` for `client_id` exists and grants every name of `requested` (a
 * NULL, empty or separator-only request is covered by any consent); 0 otherwise, also for NULL or
 * empty identifiers, a missing or unparseable consents.json, or a requested name over 255 bytes. */
int id_consent_covers(const char *user_id, const char *client_id, const char *requested);
/* Adds the names of `scopes` (NULL: none) to the consent of `user_id` for `client_id` (existing
 * names first and kept; the list stays within 255 bytes) and stamps "granted" with now; the record
 * moves to the end of the user's object. An unparseable consents.json is kept as
 * consents.json.corrupt-<unix time> and replaced. Returns 0 saved, or -1 (NULL or empty
 * identifier, lock not obtained, I/O failure) with consents.json unchanged. */
int id_consent_set(const char *user_id, const char *client_id, const char *scopes);
/* Removes the consent of `user_id` for `client_id` (the user's object stays, perhaps empty) and
 * rewrites consents.json. Returns 0 (saved, also when there was no such consent; nothing is
 * written when consents.json is missing or unparseable), or -1 (NULL or empty identifier, lock
 * not obtained, I/O failure) with consents.json unchanged. */
int id_consent_revoke(const char *user_id, const char *client_id);
/* Every consent as a compact JSON array of {"user_id","client_id","scopes","granted"} objects in
 * file order; "[]" when consents.json is missing or unparseable. A heap text released with
 * id_free; NULL only when memory runs out. */
char *id_consent_list_json(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
