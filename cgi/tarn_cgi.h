/* CGI response output and bounded string helpers. Responses go straight to standard output: an
 * optional status line, one content-type line, any extra header lines, then cgi_headers_end and
 * the body. Bounded operations never write at or beyond their capacity and always terminate
 * their output; a NULL destination or capacity 0 makes them do nothing. */
#ifndef TARN_CGI_H
#define TARN_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface. */
#pragma GCC visibility push(default)

/* "Content-Type: text/html; charset=utf-8\r\n" */
void cgi_header_html(void);
/* "Content-Type: application/json; charset=utf-8\r\n" */
void cgi_header_json(void);
/* "Content-Type: text/plain; charset=utf-8\r\n" */
void cgi_header_text(void);
/* "Status: <code> <reason>\r\n", or "Status: <code>\r\n" when reason is NULL or empty. */
void cgi_header_status(int code, const char *reason);
/* "Content-Type: <type>\r\n" */
void cgi_header_ct(const char *type);
/* `line` as given, then "\r\n"; nothing at all when line is NULL or empty (a bare line end would
 * end the header block). */
void cgi_header_extra(const char *line);
/* "X-Content-Type-Options: nosniff\r\n\r\n", then flushes standard output. */
void cgi_headers_end(void);

/* Complete error responses ("Status: <code>", content type, nosniff, empty line, body), flushed,
 * then the process exits with status 0. Text body: the message (nothing when NULL) and "\n".
 * HTML body: the page frame, "<h1>" escaped title "</h1>" when title is non-NULL, `extra_html`
 * unescaped, "</body></html>\n". JSON body: {"ok":false,"error":"<escaped message or error>"}. */
void cgi_die_text(int code, const char *msg) __attribute__((noreturn));
void cgi_die_html(int code, const char *title, const char *extra_html) __attribute__((noreturn));
void cgi_die_json(int code, const char *msg) __attribute__((noreturn));

/* Writes `s` with " & ' < > replaced by &quot; &amp; &#39; &lt; &gt;; nothing when NULL. */
void html_escape_f(FILE *out, const char *s);
/* Writes `s` escaped as the content of a JSON string (\t \n \r \" \\ and \u00XX for the other
 * bytes below 0x20; everything else unchanged); nothing when NULL. */
void json_escape_f(FILE *out, const char *s);

/* Copies `src` (NULL: "") into `dst`, cut at cap - 1 bytes. */
void tarn_strlcpy(char *dst, const char *src, size_t cap);
/* vsnprintf into `dst`, whose last byte is always NUL. Returns the formatter's result (the
 * untruncated length, or negative on a format error), or -1 for a NULL dst or cap 0. */
int tarn_snprintf(char *dst, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
/* Removes trailing tabs, line feeds, carriage returns and spaces in place; NULL is harmless. */
void tarn_rtrim(char *s);
/* `dir`, a "/" unless it already ends with "/" or "\\" (and only when it fits), then `name`; cut
 * to cap - 1 bytes. NULL or empty parts are left out. */
void tarn_path_join(char *dst, size_t cap, const char *dir, const char *name);
/* HTML escape of `src` into `dst`; stops before a byte once written + 8 >= cap, so output is cut
 * only between whole characters or entities. */
void html_escape(const char *src, char *dst, size_t cap);
/* HTML escape of `src` (NULL: "") into a new heap buffer of exactly the escaped length + 1 that
 * the caller frees; NULL when allocation fails. */
char *html_escape_dup(const char *src);
/* Percent-encodes every byte but letters, digits and "-._~" (upper-case hex); stops before a byte
 * once written + 4 >= cap. */
void url_encode(const char *src, char *dst, size_t cap);
/* 1 when `s` is non-empty, has no "..", and holds only letters, digits, "-", "." and "_"; else 0. */
int tarn_valid_repo_name(const char *s);
/* As tarn_valid_repo_name, also allowing "/" and ":". */
int tarn_valid_ref(const char *s);

/* Request input: the CGI environment, the query string and the request body. Query lookups
 * return pointers into a process-wide ring of 8 slots of 4096 bytes: a result stays valid through
 * the next 7 query lookups and is overwritten by the 8th, so copy what must live longer. Every
 * query lookup with a non-empty name takes the next slot whether or not the parameter is found
 * (the parameter lookup of id_request.h reads the query through it). One thread per process, as
 * in CGI. */

/* The variable `name` when set and non-empty, else `fallback`, else "" (a pointer into the
 * environment, not a copy). */
const char *cgi_env(const char *name, const char *fallback);
/* REQUEST_METHOD when set and non-empty, else "GET". */
const char *cgi_method(void);
/* PATH_INFO when set and non-empty, else "/". */
const char *cgi_path_info(void);
/* 1 when REQUEST_METHOD begins with "PO" (case-sensitive: "POST" and "POSTX", not "post" or
 * "PUT"), else 0. */
int cgi_is_post(void);
/* The value of the first QUERY_STRING segment whose key (not decoded) is exactly `name`, decoded
 * ("+" is a space, %XX a byte; a "%" without two hex digits stays) and cut at 4095 bytes, in the
 * next query slot; a static "" when absent (a NULL or empty name uses no slot). */
const char *cgi_query(const char *name);
/* The request body: the whole file POST_BODY_FILE names when it opens, else CONTENT_LENGTH
 * (decimal digits only) bytes of standard input, fewer when it ends first. Returns a malloc'ed
 * buffer with the body and a NUL after it (release with free or id_free) and its length through
 * `len` (when non-NULL; NUL bytes inside count), or NULL with *len = 0: no body, a bad or zero
 * CONTENT_LENGTH, a body over 1 MiB (refused whole, never cut), a read error, no memory. */
char *cgi_read_post(uint64_t *len);
#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
