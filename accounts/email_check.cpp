// The address rule for the optional email of an account: no blanks or control bytes, one "@"
// after a non-empty name, and a domain of at least two non-empty labels.
#include <string_view>

#include "accounts/users_store.hpp"
#include "id_accounts.h"

namespace {

bool is_blank_or_control(unsigned char c) { return c <= 0x20 || c == 0x7F; }

// One "@", not first, and a domain of labels joined by single dots (at least two labels). Dots
// in the name are not examined.
bool looks_like_address(std::string_view email) {
    const std::size_t at = email.find('@');
    if (at == std::string_view::npos || at == 0) return false;
    const std::string_view domain = email.substr(at + 1);
    if (domain.find('@') != std::string_view::npos || domain.empty()) return false;
    if (domain.find('.') == std::string_view::npos) return false;
    if (domain.front() == '.' || domain.back() == '.') return false;
    return domain.find("..") == std::string_view::npos;
}

}  // namespace

extern "C" int id_email_check(const char* email, char* msg, size_t msg_cap) {
    const tarn::users::Message message(msg, msg_cap);
    if (!email || !*email) return 0;  // the address is optional
    const std::string_view address(email);
    for (char c : address)
        if (is_blank_or_control(static_cast<unsigned char>(c)))
            return message.fail(-3, "email must not contain whitespace");
    if (!looks_like_address(address)) return message.fail(-3, "email must look like name@example.com");
    return 0;
}
