// Form fields of a request: the query string or an application/x-www-form-urlencoded body,
// decoded whole and kept in arrival order, so that a program can refuse a parameter sent twice
// and never sees a value cut to fit a buffer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace web {

class Form {
public:
    static constexpr std::size_t kMaxFields = 64;     // fields in one request
    static constexpr std::size_t kMaxValue = 8192;    // bytes of one decoded name or value

    // Decodes `text`: fields are separated by "&" (empty ones skipped), a name ends at the first
    // "=" (no "=": an empty value), "+" is a space and "%" with two hex digits (either case) a
    // byte. Returns false, keeping no field, when a "%" lacks its two digits, a decoded byte is
    // NUL, a name or value decodes to more than kMaxValue bytes, or there are more than
    // kMaxFields fields.
    bool parse(std::string_view text);

    // The value of the first field named `name`, or "" when there is none.
    std::string_view get(std::string_view name) const;
    // True when a field named `name` is present (even with an empty value).
    bool has(std::string_view name) const;
    // The number of fields named `name`.
    std::size_t count(std::string_view name) const;
    // The first of `names` that occurs more than once, or "" when none does.
    std::string_view repeated(std::initializer_list<std::string_view> names) const;
    // Adds a field at the end (for forms built by a program, not parsed).
    void add(std::string name, std::string value);
    // The fields in arrival order.
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF): what every stored text is.
bool is_utf8(std::string_view text);

// Percent-encodes every byte but ASCII letters, digits and "-._~" (upper-case hex): the form
// that Form::parse reads back byte for byte and that a URL query carries unchanged.
std::string url_encode(std::string_view text);
// The fields of `form` as "name=value&..." with both sides url_encode'd.
std::string form_encode(const Form& form);
// As form_encode, escaping only the bytes Form::parse reads specially ("%", "&", "=", "+"), so
// that a text carried inside a seal grows by nothing else (url_encode triples every byte of
// UTF-8). Form::parse reads it back byte for byte; not for a URL.
std::string form_encode_compact(const Form& form);

}  // namespace web
