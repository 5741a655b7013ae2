/* The audit trail, audit_log.json: the newest 2000 events, oldest first. Queries read it afresh
 * without a lock; changes take its lock (2000 retries of 5 ms). */
#ifndef ID_AUDIT_H
#define ID_AUDIT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

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
