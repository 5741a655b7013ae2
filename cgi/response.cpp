// CGI response output: header lines, the closing block, complete error pages, and the two
// stream escapers. Everything goes straight to standard output; write errors are ignored (the
// web server has gone away and there is nobody to tell).
#include <cstdio>
#include <cstdlib>

#include "cgi/html_entity.hpp"
#include "tarn_cgi.h"

namespace {

// On Linux standard output does no newline translation, so switching it to binary mode only
// records that the switch was made.
bool g_stdout_binary = false;

void tarn_stdout_bin() { g_stdout_binary = true; }

void ensure_binary() {
    if (!g_stdout_binary) tarn_stdout_bin();
}

void put(const char* s) { std::fputs(s, stdout); }

void end_headers() {
    put("X-Content-Type-Options: nosniff\r\n\r\n");
    std::fflush(stdout);
    tarn_stdout_bin();
}

// An error page ends the process; the HTTP status travels in the "Status:" line only.
[[noreturn]] void finish_process() {
    std::fflush(stdout);
    std::exit(0);
}

void begin_error_page(int code, const char* content_type_line) {
    ensure_binary();
    std::printf("Status: %d\r\n", code);
    put(content_type_line);
    end_headers();
}

constexpr const char* kHtmlType = "Content-Type: text/html; charset=utf-8\r\n";
constexpr const char* kJsonType = "Content-Type: application/json; charset=utf-8\r\n";
constexpr const char* kTextType = "Content-Type: text/plain; charset=utf-8\r\n";

}  // namespace

extern "C" {

void cgi_header_html(void) {
    ensure_binary();
    put(kHtmlType);
}

void cgi_header_json(void) {
    ensure_binary();
    put(kJsonType);
}

void cgi_header_text(void) {
    ensure_binary();
    put(kTextType);
}

void cgi_header_status(int code, const char* reason) {
    ensure_binary();
    if (reason && *reason) std::printf("Status: %d %s\r\n", code, reason);
    else std::printf("Status: %d\r\n", code);
}

void cgi_header_ct(const char* type) {
    ensure_binary();
    std::printf("Content-Type: %s\r\n", type ? type : "");
}

void cgi_header_extra(const char* line) {
    // A bare line end would end the header block early: no line, nothing written.
    if (!line || !*line) return;
    ensure_binary();
    put(line);
    put("\r\n");
}

void cgi_headers_end(void) { end_headers(); }

void cgi_die_text(int code, const char* msg) {
    begin_error_page(code, kTextType);
    if (msg) put(msg);
    put("\n");
    finish_process();
}

void cgi_die_html(int code, const char* title, const char* extra_html) {
    begin_error_page(code, kHtmlType);
    put("<!DOCTYPE html><html><body style=\"background:#000;color:#fff;font-family:sans-serif;"
        "padding:40px\">");
    if (title) {
        put("<h1>");
        html_escape_f(stdout, title);
        put("</h1>");
    }
    if (extra_html) put(extra_html);  // markup supplied by the calling program
    put("</body></html>\n");
    finish_process();
}

void cgi_die_json(int code, const char* msg) {
    begin_error_page(code, kJsonType);
    put("{\"ok\":false,\"error\":\"");
    json_escape_f(stdout, msg ? msg : "error");
    put("\"}\n");
    finish_process();
}

void html_escape_f(FILE* out, const char* s) {
    if (!out || !s) return;
    for (; *s; ++s) {
        std::string_view entity = tarn::html_entity(*s);
        if (entity.empty()) std::fputc(*s, out);
        else std::fwrite(entity.data(), 1, entity.size(), out);
    }
}

void json_escape_f(FILE* out, const char* s) {
    if (!out || !s) return;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        switch (*p) {
            case '\t': std::fputs("\\t", out); break;
            case '\n': std::fputs("\\n", out); break;
            case '\r': std::fputs("\\r", out); break;
            case '"': std::fputs("\\\"", out); break;
            case '\\': std::fputs("\\\\", out); break;
            default:
                if (*p < 0x20) std::fprintf(out, "\\u%04x", *p);
                else std::fputc(*p, out);
        }
    }
}

}  // extern "C"
