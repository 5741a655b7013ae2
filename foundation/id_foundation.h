/* The foundation of the identity core: the configuration record, JSON documents in the data
 * directory with their advisory locks, the server log, the client address, and the release of
 * texts the library hands out on the heap. Every function has C linkage; nothing throws. Memory
 * running out while a document is read, built or written is a failure with the documented failure
 * result (-1, 0, NULL, a listing's empty form), never a crash. A document read without its lock
 * while another process first creates it reads as missing or as the new document, never as
 * unreadable. */
#ifndef ID_FOUNDATION_H
#define ID_FOUNDATION_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* The configuration, assembled afresh by every core operation: built-in defaults, then
 * config.json in the working directory, then the environment. Texts are NUL-terminated and cut
 * to fit. */
typedef struct id_config {
    char data_dir[1024];    /* "data" by default; IDENTITY_DATA_DIR */
    char base_url[256];     /* without a trailing "/"; IDENTITY_BASE_URL, else derived */
    int32_t port;           /* 8080 by default; IDENTITY_PORT */
    char admin_secret[256]; /* empty: the admin header route is off; IDENTITY_ADMIN_SECRET */
} id_config;

/* Fills `cfg` (defaults < config.json < environment) and creates the data directory (mode 0700)
 * with its parents when missing. Cannot fail; a NULL cfg does nothing. */
void id_get_config(id_config *cfg);
/* Writes the data directory joined with `name` into `dst` (cut to cap, NUL-terminated). */
void id_get_file_path(const char *name, char *dst, size_t cap);
/* The configuration as id_get_config assembles it (and "jwks_file" of config.json,
 * IDENTITY_JWKS_FILE over it), with the source of each value and every problem of config.json,
 * creating nothing: compact JSON {"config_file": {"path", "state": "missing" | "read" |
 * "unreadable" | "invalid"}, "values": [{"name", "value", "source": "default" | "config.json" |
 * "environment"}] for data_dir, port, base_url, admin_secret ("(set)" or "", never the secret)
 * and jwks_file in that order, "problems": [one line each]}. A heap text (id_free), NULL only
 * when memory runs out. Problems: config.json unreadable or not parsing, a root that is not an
 * object, an unknown member, a member of the wrong type or given twice, a port outside 1-65535,
 * a jwks_file that is not an absolute path or lies in the data directory (none is published). */
char *id_config_report_json(void);

/* A JSON document: opaque to C callers. */
typedef struct id_json_doc id_json_doc;

/* Parses the document `name` of the data directory (strict JSON, valid UTF-8, at most 128 levels
 * of nested arrays and objects). Returns a document the caller releases with id_json_doc_free, or
 * NULL when it is missing, unreadable or invalid, or memory runs out. */
id_json_doc *id_load_json_file(const char *name);
/* Replaces the document `name` of the data directory by `doc` in the pretty form (four-space
 * indent) atomically: a temporary file "<name>.tmp" (mode 0600) is written, flushed to disk and
 * renamed over it, then the directory is flushed. The caller holds the document's lock. Returns 0
 * once the rename has put the new document in place (a failed directory flush after it does not
 * change that), or -1 (NULL doc, text not valid UTF-8, any I/O failure before the rename) with
 * the old document untouched and no temporary file left. */
int id_save_json_file(const char *name, const id_json_doc *doc);
/* Parses `len` bytes of strict JSON text (as id_load_json_file reads a file); NULL when invalid,
 * including text nested deeper than 128 levels, or when memory runs out. Release with
 * id_json_doc_free. */
id_json_doc *id_json_doc_parse(const char *text, size_t len);
/* Serializes `doc` (compact when pretty is 0) into a heap text released with id_free, or NULL
 * (NULL doc, a text that is not UTF-8, no memory). */
char *id_json_doc_write(const id_json_doc *doc, int pretty);
/* Releases a document; NULL is harmless. */
void id_json_doc_free(id_json_doc *doc);

/* An advisory lock on "<document>.lock" in the data directory; normally a local variable. */
typedef struct id_lock {
    char path[1040]; /* full path of the lock file */
    int32_t held;    /* 1 while held */
    int handle;      /* open descriptor while held, else -1 */
} id_lock;

#define ID_LOCK_RETRIES 2000      /* retries of 5 ms used by the stores */
#define ID_KEYS_LOCK_RETRIES 12000 /* the key store waits longer: key generation runs under it */

/* Takes the exclusive lock of document `name`, trying once and then up to `retries` more times
 * 5 ms apart. Not re-entrant: a second acquire in the same process waits like any other. Returns 0
 * (held) or -1 (lock file cannot be opened: at once; still held elsewhere after the retries). */
int id_lock_acquire_wait(id_lock *lock, const char *name, int retries);
/* id_lock_acquire_wait with ID_LOCK_RETRIES. */
int id_lock_acquire(id_lock *lock, const char *name);
/* Releases a held lock (the lock file stays). Returns nonzero when the lock was held and its
 * descriptor closed cleanly, 0 when it was not held (harmless, also twice). */
int id_lock_release(id_lock *lock);

/* Appends one line to server.log in the data directory (created 0600): the local time as
 * "YYYY-MM-DD hh:mm:ss ", the printf-style message with every byte below 0x20, 0x7F, the backslash,
 * each byte of a C1 control, U+2028, U+2029 or a Unicode format character (as usernames refuse
 * them, id_accounts.h) and each byte outside a UTF-8 character written as \xNN, and a line feed,
 * in one append. A log that cannot be opened or written drops the line. */
void id_log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* The requesting client's address into `dst` (cut to cap): REMOTE_ADDR when set and non-empty,
 * else the first entry of X-Forwarded-For (at most 63 characters, trailing blanks removed), else
 * "?". Nothing happens when dst is NULL or cap is 0. */
void id_client_ip(char *dst, size_t cap);
/* Releases a text or buffer handed out by this library. */
void id_free(void *p);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
