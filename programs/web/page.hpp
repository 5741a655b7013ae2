// The provider's pages: one layout, plain HTML that works without scripts. Markup comes only
// from the program's own literals; every text from a request, a store or a token goes through
// Html::text, which escapes it at the point of output.
#pragma once

#include <string>
#include <string_view>

namespace web {

class Html {
public:
    // Markup written by the program (a literal, never outside text).
    template <std::size_t N>
    Html& markup(const char (&literal)[N]) {
        out_.append(literal, N - 1);
        return *this;
    }
    // `text` with & < > " ' written as entities: safe as element content and inside a quoted
    // attribute value.
    Html& text(std::string_view text);
    // <input type="hidden" name=... value=...> with both escaped.
    Html& hidden(std::string_view name, std::string_view value);
    const std::string& str() const { return out_; }

private:
    std::string out_;
};

// The header lines of every page: status, HTML content type, Content-Security-Policy (nothing
// but the layout's own style; no framing), X-Frame-Options DENY, Referrer-Policy no-referrer and
// no-store. The caller may add cookies, then calls page_end.
void page_begin(int status);
// Closes the header block and writes the document: the layout with `title` and `main`.
void page_end(std::string_view title, const Html& main);
// A whole page with one heading and one paragraph.
void message_page(int status, std::string_view title, std::string_view message);

}  // namespace web
