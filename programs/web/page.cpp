#include "web/page.hpp"

#include <cstdio>

#include "tarn_cgi.h"
#include "tarn_crypto.h"
#include "web/http.hpp"

namespace web {
namespace {

constexpr std::string_view kStyle =
    "body{font-family:system-ui,sans-serif;margin:0;background:#f4f5f7;color:#1d2330;line-height:1.5}"
    "main{max-width:26rem;margin:2rem auto;padding:1.5rem;background:#fff;border:1px solid #d8dbe2;"
    "border-radius:8px}"
    "h1{font-size:1.4rem;margin:0 0 1rem}"
    "label{display:block;margin:.8rem 0 .2rem;font-weight:600}"
    "input[type=text],input[type=password]{box-sizing:border-box;width:100%;padding:.6rem;"
    "font-size:1rem;border:1px solid #9aa1ad;border-radius:4px}"
    "button{font-size:1rem;padding:.6rem 1.2rem;margin:1rem .5rem 0 0;border-radius:4px;"
    "border:1px solid #2450a8;background:#2f62d0;color:#fff;cursor:pointer}"
    "button.secondary{background:#fff;color:#2450a8}"
    ".error{background:#fdecea;border:1px solid #e0a49c;padding:.6rem;border-radius:4px}"
    "ul{padding-left:1.2rem}"
    "@media (max-width:30rem){main{margin:0;border:0;border-radius:0}}";

// The policy allows exactly the layout's style block, by its digest.
std::string style_hash() {
    unsigned char digest[32];
    tarn_sha256(kStyle.data(), kStyle.size(), digest);
    char text[64];
    const int n = tarn_base64url_encode(digest, sizeof digest, text, sizeof text);
    std::string b64(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    for (char& c : b64) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (b64.size() % 4) b64.push_back('=');
    return b64;
}

void write(std::string_view s) { std::fwrite(s.data(), 1, s.size(), stdout); }

}  // namespace

Html& Html::text(std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out_ += "&amp;"; break;
            case '<': out_ += "&lt;"; break;
            case '>': out_ += "&gt;"; break;
            case '"': out_ += "&quot;"; break;
            case '\'': out_ += "&#39;"; break;
            default: out_.push_back(c);
        }
    }
    return *this;
}

Html& Html::hidden(std::string_view name, std::string_view value) {
    markup("<input type=\"hidden\" name=\"").text(name).markup("\" value=\"").text(value).markup("\">");
    return *this;
}

void page_begin(int code) {
    status(code);
    cgi_header_html();
    header("Content-Security-Policy", "default-src 'none'; style-src 'sha256-" + style_hash() +
                                          "'; base-uri 'none'; frame-ancestors 'none'");
    header("X-Frame-Options", "DENY");
    header("Referrer-Policy", "no-referrer");
    no_store();
}

void page_end(std::string_view title, const Html& main) {
    end_headers();
    Html doc;
    doc.markup("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>")
        .text(title)
        .markup("</title>\n<style>");
    write(doc.str());
    write(kStyle);
    write("</style>\n</head>\n<body>\n<main>\n");
    write(main.str());
    write("\n</main>\n</body>\n</html>\n");
    std::fflush(stdout);
}

void message_page(int code, std::string_view title, std::string_view message) {
    page_begin(code);
    Html main;
    main.markup("<h1>").text(title).markup("</h1>\n<p>").text(message).markup("</p>");
    page_end(title, main);
}

}  // namespace web
