// The address rule of account emails: the first input byte picks the message capacity, the rest
// is the address (cut at a NUL, as a C text is). Checked against a reference written here from
// the rules, for the result and the message, and that the message is cut to the capacity with
// its NUL inside it (nothing written at or past it, nothing at all for capacity 0).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "id_accounts.h"

using namespace tarn::fuzz;

namespace {

constexpr std::string_view kBlank = "email must not contain whitespace";
constexpr std::string_view kShape = "email must look like name@example.com";

// The message the rules give (empty for an acceptable address).
std::string_view expected_message(std::string_view email) {
    if (email.empty()) return {};
    for (unsigned char c : email)
        if ((c >= 0x01 && c <= 0x20) || c == 0x7F) return kBlank;
    if (std::count(email.begin(), email.end(), '@') != 1) return kShape;
    const std::size_t at = email.find('@');
    const std::string_view name = email.substr(0, at), domain = email.substr(at + 1);
    if (name.empty() || domain.empty()) return kShape;
    const std::size_t last_dot = domain.rfind('.');
    if (last_dot == std::string_view::npos || last_dot == 0 || last_dot + 1 == domain.size()) return kShape;
    if (domain.front() == '.' || domain.find("..") != std::string_view::npos) return kShape;
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::size_t cap = in.byte() % 48;  // shorter and longer than every message
    const std::string email(in.rest());
    const std::string_view want = expected_message(email.c_str());

    ExactBuffer msg(cap);
    const int result = id_email_check(email.c_str(), msg.chars(), cap);
    FUZZ_CHECK(result == (want.empty() ? 0 : -3));
    if (cap == 0) {
        FUZZ_CHECK(msg.untouched_from(0));
    } else {
        const std::size_t len = std::min(want.size(), cap - 1);
        FUZZ_CHECK(std::string_view(msg.chars(), len) == want.substr(0, len) && msg.chars()[len] == '\0');
    }
    FUZZ_CHECK(id_email_check(email.c_str(), nullptr, 0) == result);
    return 0;
}
