// The form-encoded parameter scanner shared by the query string and the request body.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::cgi {

// Walks `encoded` as "key=value" segments separated by "&" and decodes the value of the first
// segment whose key (not decoded) is exactly `name`: "+" becomes a space, "%" and two hex digits
// of either case inside the value become that byte, any other byte (a "%" without two digits
// after it included) is copied. At most cap - 1 bytes are written, then a NUL. Returns true when
// a segment matched; `out` is untouched otherwise. A segment without "=" has an empty value;
// empty segments never match. `cap` must be at least 1.
bool find_form_value(std::string_view encoded, std::string_view name, char* out, std::size_t cap);

// `value` decoded by the same rule, whole; nullopt when it decodes to a NUL byte (no C text could
// hold it). Throws std::bad_alloc when memory runs out.
std::optional<std::string> form_unescape(std::string_view value);

}  // namespace tarn::cgi
