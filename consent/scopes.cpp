// Scope intersection: a client's requested scopes cut down to the ones it is allowed.
#include <cstring>
#include <string_view>

#include "foundation/scope_list.hpp"
#include "id_consent.h"

namespace {

constexpr std::string_view kDefaultAllowed = "openid profile email";

}  // namespace

extern "C" void id_scope_intersect(const char* requested, const char* allowed, char* out, size_t cap) {
    using namespace tarn::scopes;
    if (!out || cap == 0) return;
    out[0] = '\0';
    const std::string_view request = view(requested);
    const std::string_view allow = (allowed && *allowed) ? std::string_view(allowed) : kDefaultAllowed;
    std::size_t len = 0;
    for_each_scope(request, [&](std::string_view name) {
        const std::string_view written(out, len);
        if (name.size() > kMaxScopeText || !scope_list_has(allow, name) || scope_list_has(written, name))
            return true;
        const std::size_t need = (len == 0 ? 0 : len + 1) + name.size() + 1;  // with the NUL
        if (need > cap) return false;  // stop with what has been written
        if (len != 0) out[len++] = ' ';
        std::memcpy(out + len, name.data(), name.size());
        len += name.size();
        out[len] = '\0';
        return true;
    });
}
