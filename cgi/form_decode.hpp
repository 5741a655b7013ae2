// The form-encoded parameter scanner shared by the query string and the request body.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarn::cgi {

// Walks `encoded` as "key=value" segments separated by "&" and decodes the value of the first
// segment whose key (not decoded) is exactly `name`: "+" becomes a space, "%" and two hex digits
// of either case inside the value become that byte, any other byte (a "%" without two digits
// after it included) is copied. At most cap - 1 bytes are written, then a NUL. Returns true when
// a segment matched; `out` is untouched otherwise. A segment without "=" has an empty value;
// empty segments never match. `cap` must be at least 1.
bool find_form_value(std::string_view encoded, std::string_view name, char* out, std::size_t cap);

}  // namespace tarn::cgi
