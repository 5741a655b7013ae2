/* Sign-in protection and the audit trail.
 *
 * Per-account lockout, login_attempts.json: {"acc_<account name>": {"count", "strikes",
 * "locked_until", "last_ts"}}. A run is a series of failures each at most 600 s after the one
 * before; its third and later strikes lock the account, when no lock is in force, for 30 s doubled
 * per strike up to 900 s. Every recorded failure is logged to server.log.
 * Per-address budget, login_attempts_ip.json: [{"ts", "ip"}], the failures of the last 600 s; an
 * address with 20 or more of them is over budget.
 * Audit trail, audit_log.json: the newest 2000 events, oldest first.
 * Queries read their document afresh without a lock; changes take the document's lock (2000
 * retries of 5 ms), one document at a time. */
#ifndef ID_SIGNIN_H
#define ID_SIGNIN_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* 1 when `account` may try to sign in (also for NULL or ""), 0 while it is locked; then `msg`
 * receives "Account temporarily locked after repeated failures. Try again in <n> s." with n the
 * seconds left, at most 900, cut to `cap`. `msg` is emptied first whenever msg and cap are
 * non-zero. `unused` is not read. */
int id_login_allowed(const char *account, const char *unused, char *msg, size_t cap);
/* Opens a sign-in attempt before its password is checked. 1: the check may go on; 0: the account
 * is locked (msg as id_login_allowed) or the address is over its budget; -1: refused. */
int id_login_begin(const char *account, const char *address, char *msg, size_t cap);
/* Records a failed sign-in: for a non-empty `account` in login_attempts.json (lock as the rules
 * above say; server.log line "SECURITY: failed login for '<account>' (attempt=<count>
 * strikes=<strikes>)[ -> LOCKOUT] ip=<address or ?>" once saved), then for a non-empty `address`
 * in login_attempts_ip.json. When the account's lock is not obtained nothing is recorded. An
 * unparseable store is kept as <name>.corrupt-<unix time> and replaced. Reports nothing. */
void id_login_failed(const char *account, const char *address);
/* id_login_failed, then 1 when `address` is non-empty and over its budget, else 0. */
int id_login_failed_and_throttled(const char *account, const char *address);
/* Removes the record of `account` after a successful sign-in. Failures (lock, I/O, unparseable
 * store) leave the store as it was; nothing is reported. */
void id_login_success(const char *account);

/* 1 when `address` has 20 or more failures within the last 600 s, else 0 (also NULL or ""). */
int id_login_ip_over_budget(const char *address);
/* 0 while `address` is within budget (also NULL or ""); else the seconds, 1 to 600, until its
 * oldest counted failure leaves the 600 s window. */
int id_login_ip_retry_after(const char *address);

/* Appends {"ts": now, "event", "user_id", "username", "ip", "detail"} to audit_log.json (NULL
 * texts stored as "", a NULL or empty address as "?", bytes that are not UTF-8 as U+FFFD) and
 * drops the oldest entries beyond 2000. Returns 0, or -1: NULL or empty event (nothing logged);
 * lock not obtained, an audit_log.json that is unparseable or not an array (left as it is), memory
 * or a failed save, each with its "AUDIT:" line in server.log; audit_log.json is then unchanged. */
int id_audit_record(const char *event, const char *user_id, const char *username,
                    const char *address, const char *detail);
/* The newest entries first, at most `max` positions of the log (200 when max <= 0), as a compact
 * JSON array of six-member objects; "[]" when audit_log.json is missing, unparseable or not an
 * array. A heap text released with id_free; NULL only when memory runs out. */
char *id_audit_list_json(int max);
/* The number of entries in audit_log.json; 0 when it is missing, unparseable or not an array. */
int id_audit_count(void);
/* Removes the oldest entries until `keep` remain (a negative keep counts as 0). Returns the number
 * removed (0 without rewriting when there are no more than keep, or no readable log), or -1 (lock
 * not obtained, failed save) with audit_log.json unchanged. */
int id_audit_prune(int keep);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
