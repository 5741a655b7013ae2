/* Request parameters of a CGI request: the query string first, then the request body (read once
 * per process), as a JSON object or as form-encoded text. Lookups return pointers into
 * process-wide rings of 8 slots per kind (the query's 4096-byte slots of tarn_cgi.h, 1024-byte
 * form slots for the body): a result stays valid through the next 7 lookups of its kind and is
 * overwritten by the 8th, so copy what must live longer. Every query lookup with a non-empty
 * name, and every lookup that reaches the body, takes the next slot of its kind whether or not
 * the parameter is found. One thread per process, as in CGI. */
#ifndef ID_REQUEST_H
#define ID_REQUEST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* The parameter `name`: a non-empty value from the query string (cgi_query), else from the body
 * of a POST (read once per process): when CONTENT_TYPE contains "application/json" and the body
 * parses as JSON, the first top-level string member of that name (cut at 1023 bytes) and nothing
 * else; otherwise the form-encoded body decoded as the query is (cut at 1023 bytes). A static ""
 * when absent. */
const char *id_param(const char *name);
/* Copies the value id_param gives ("" when absent) into `dst`. Returns 0, or -1 with `dst`
 * unchanged when dst is NULL, cap is 0, or the value and its NUL do not fit in `cap`. */
int id_param_copy(const char *name, char *dst, size_t cap);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
