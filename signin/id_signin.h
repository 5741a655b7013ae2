/* Sign-in protection: per-account lockout and the per-address budget.
 *
 * Per-account lockout, login_attempts.json: {"acc_<account name folded to ASCII lower case>":
 * {"count", "strikes", "locked_until", "last_ts"[, "pending"]}}. A run is a series of failures each
 * at most 600 s after the one before; its third and later strikes lock the account, when no lock
 * is in force, for 30 s doubled per strike up to 900 s. Every recorded failure is logged to
 * server.log. A record stored under another spelling ("acc_Alice") still counts for that spelling:
 * its lock holds, and while no folded record exists a failure climbs from it and replaces it.
 * Per-address budget, login_attempts_ip.json: [{"ts", "ip"[, "pid"]}], the failures of the last
 * 600 s; an address with 20 or more of them is over budget.
 * A sign-in program calls id_login_begin before it checks a password, then id_login_failed or
 * id_login_success. Begin counts the attempt as a failure at once, under each store's lock, so
 * that attempts made at the same moment get no more password checks than attempts made one at a
 * time: an entry with the "pid" of the process, and in the account's record a marker in "pending"
 * ({"pid", "ts", "count", "strikes", "locked_until", "ip"}: the process, when, the record as the
 * attempt left it, the address). The same process's report finds them; a process that never
 * reports leaves its attempt counted. Markers go when the record is next rewritten, once 600 s
 * old or when their process begins again. The written pair id_login_allowed / id_login_failed
 * still works for a process that never calls begin.
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
 * non-zero. `unused` is not read. Reads only: attempts made at once all see 1; use id_login_begin. */
int id_login_allowed(const char *account, const char *unused, char *msg, size_t cap);
/* Opens a sign-in attempt before its password is checked. 1: check it; the attempt is counted as
 * a failure against a non-empty `account` and a non-empty `address` until this process reports it
 * (id_login_failed counts nothing more, id_login_success takes it back). 0, nothing counted: the
 * account is locked (msg as id_login_allowed) or the address is over its budget ("Too many failed
 * sign-ins from this address. Try again in <n> s.", n as id_login_ip_retry_after). -1, nothing
 * counted against the account (the address keeps the attempt once entered): a store's lock, read
 * or save failed, or a text no store can hold (not UTF-8); msg "Sign-in is temporarily
 * unavailable. Try again later.". msg is emptied first and cut to cap, as above. */
int id_login_begin(const char *account, const char *address, char *msg, size_t cap);
/* Reports a failed sign-in. When this process began an attempt of `account` (its folded name),
 * that attempt was the failure: nothing more is counted against the account, nor against
 * `address` when begin was given the same one, and the line below is logged with the figures
 * begin counted. Otherwise it records the failure: for a non-empty `account` in
 * login_attempts.json (lock as the rules above say; server.log line "SECURITY: failed login for
 * '<account>' (attempt=<count> strikes=<strikes>)[ -> LOCKOUT] ip=<address or ?>" once saved),
 * then for a non-empty `address` in login_attempts_ip.json (unless this process began an attempt
 * of that address within 600 s). When the account's lock is not obtained nothing is recorded. An
 * unparseable store is kept as <name>.corrupt-<unix time> and replaced. Reports nothing. */
void id_login_failed(const char *account, const char *address);
/* id_login_failed, then 1 when `address` is non-empty and over its budget, else 0. */
int id_login_failed_and_throttled(const char *account, const char *address);
/* Removes every record of `account` (any spelling) after a successful sign-in, and the address
 * entry of the attempt this process began for it, if any. Failures (lock, I/O, unparseable store)
 * leave the stores as they were; nothing is reported. */
void id_login_success(const char *account);

/* What id_login_sweep removed. */
typedef struct id_login_swept {
    size_t accounts;  /* records of login_attempts.json that can no longer change a decision */
    size_t addresses; /* entries of login_attempts_ip.json outside the 600 s window */
} id_login_swept;

/* Removes from login_attempts.json the account records that can no longer change a decision (no
 * lock in force and the last failure more than 600 s ago, or a later duplicate of a name, which is
 * never read), then from login_attempts_ip.json the entries outside the 600 s window, each store
 * under its own lock and saved only when something goes. Returns 0 with the counts in `out` (when
 * given), or -1 when a store's lock, read (a store that cannot be read or parsed is left for the
 * next failure to set aside) or save failed: that store is as it was, the other's count stands. */
int id_login_sweep(id_login_swept *out);

/* 1 when `address` has 20 or more failures within the last 600 s, else 0 (also NULL or ""). */
int id_login_ip_over_budget(const char *address);
/* 0 while `address` is within budget (also NULL or ""); else the seconds, 1 to 600, until its
 * oldest counted failure leaves the 600 s window. */
int id_login_ip_retry_after(const char *address);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
