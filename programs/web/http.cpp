#include "web/http.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "id_foundation.h"
#include "tarn_cgi.h"

namespace web {

const std::string& issuer() {
    static const std::string value = [] {
        unsetenv("HTTP_HOST");
        id_config cfg;
        id_get_config(&cfg);
        return std::string(cfg.base_url);
    }();
    return value;
}

std::string endpoint_url(std::string_view path) { return issuer() + std::string(path); }

bool is_post() { return std::strcmp(cgi_method(), "POST") == 0; }

namespace {

bool form_content_type() {
    // "application/x-www-form-urlencoded", any case, optionally followed by parameters.
    std::string_view type = cgi_env("CONTENT_TYPE", "");
    constexpr std::string_view kForm = "application/x-www-form-urlencoded";
    if (type.size() < kForm.size()) return false;
    for (std::size_t i = 0; i < kForm.size(); ++i) {
        char c = type[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kForm[i]) return false;
    }
    return type.size() == kForm.size() || type[kForm.size()] == ';' || type[kForm.size()] == ' ';
}

bool header_safe(std::string_view value) {
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

bool read_params(Form& out) {
    if (!is_post()) return out.parse(cgi_env("QUERY_STRING", ""));
    if (!form_content_type()) return out.parse("");
    uint64_t len = 0;
    char* body = cgi_read_post(&len);
    const bool ok = out.parse(body ? std::string_view(body, len) : std::string_view());
    std::free(body);
    return ok;
}

std::string cookie_value(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const std::size_t semi = header.find(';');
        std::string_view part = header.substr(0, semi);
        header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        if (part.size() > name.size() && part.substr(0, name.size()) == name && part[name.size()] == '=') {
            std::string_view value = part.substr(name.size() + 1);
            while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
            return std::string(value);
        }
    }
    return {};
}

std::string request_cookie(std::string_view name) { return cookie_value(cgi_env("HTTP_COOKIE", ""), name); }

bool over_https() {
    std::string_view proto = cgi_env("HTTP_X_FORWARDED_PROTO", "");
    if (proto.size() == 5) {
        bool https = true;
        for (std::size_t i = 0; i < 5; ++i) {
            char c = proto[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            https = https && c == "https"[i];
        }
        if (https) return true;
    }
    return issuer().rfind("https://", 0) == 0;
}

namespace {

const char* reason(int code) {
    switch (code) {
        case 200: return "OK";
        case 302: return "Found";
        case 303: return "See Other";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 405: return "Method Not Allowed";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "";
    }
}

}  // namespace

void status(int code) { cgi_header_status(code, reason(code)); }

void header(std::string_view name, std::string_view value) {
    if (!header_safe(name) || !header_safe(value)) return;
    std::string line(name);
    line += ": ";
    line += value;
    cgi_header_extra(line.c_str());
}

void end_headers() { cgi_headers_end(); }

void no_store() {
    header("Cache-Control", "no-store");
    header("Pragma", "no-cache");
}

std::string with_query(std::string_view base, const Form& params) {
    std::string url(base);
    const std::string query = form_encode(params);
    if (query.empty()) return url;
    url.push_back(url.find('?') == std::string::npos ? '?' : '&');
    return url + query;
}

void redirect_headers(int code, std::string_view location) {
    status(code);
    header("Location", location);
    no_store();
    header("Referrer-Policy", "no-referrer");
    cgi_header_text();
}

void redirect(int code, std::string_view location) {
    redirect_headers(code, location);
    end_headers();
}

std::string json_string(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 15]);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
    return out;
}

void oauth_error(int code, std::string_view error, std::string_view description) {
    status(code);
    cgi_header_json();
    no_store();
    if (code == 401) header("WWW-Authenticate", "Basic realm=\"tarn\"");
    end_headers();
    std::string body = "{\"error\":" + json_string(error);
    if (!description.empty()) body += ",\"error_description\":" + json_string(description);
    body += "}\n";
    std::fwrite(body.data(), 1, body.size(), stdout);
}

void post_only(std::string_view endpoint) {
    status(405);
    cgi_header_json();
    header("Allow", "POST");
    no_store();
    end_headers();
    const std::string body = "{\"error\":\"invalid_request\",\"error_description\":" +
                             json_string(std::string(endpoint) + " takes POST.") + "}\n";
    std::fwrite(body.data(), 1, body.size(), stdout);
}

bool has_scope(std::string_view list, std::string_view name) {
    while (!list.empty()) {
        const std::size_t sp = list.find(' ');
        if (list.substr(0, sp) == name) return true;
        list = sp == std::string_view::npos ? std::string_view() : list.substr(sp + 1);
    }
    return false;
}

}  // namespace web
