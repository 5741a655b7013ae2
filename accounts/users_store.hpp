// users.json as every account operation reads it: the document's name, the reading rules of a
// user record, the searches over its array (the lookups, creation, and the later changes of one
// record), and the caller's message buffer.
#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

#include "foundation/ascii.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "id_accounts.h"
#include "tarn_cgi.h"

namespace tarn::users {

inline constexpr std::string_view kFile = "users.json";

// Usernames and roles compare folding only the ASCII letters.
using ascii::equal_ignoring_case;

// The normalised role: "owner" or "admin" ignoring ASCII case, anything else "user".
inline const char* role_name(std::string_view role) {
    if (equal_ignoring_case(role, "owner")) return "owner";
    if (equal_ignoring_case(role, "admin")) return "admin";
    return "user";
}

// True when the stored role of `user` is an administrator role ("owner" or "admin").
inline bool is_admin(const Value& user) {
    return std::string_view(role_name(json::str(user, "role"))) != "user";
}

// The first user (an element that is an object) of the array `root` for which `match` holds;
// nullptr when there is none or `root` is not an array. A mutable root gives a mutable element,
// so that the changes of a record use the same search as the lookups.
template <class Root, class Match>
auto* first_user(Root& root, Match&& match) {
    using Element = std::conditional_t<std::is_const_v<Root>, const Value, Value>;
    if (!root.IsArray()) return static_cast<Element*>(nullptr);
    for (Element& el : root.GetArray())
        if (el.IsObject() && match(static_cast<const Value&>(el))) return &el;
    return static_cast<Element*>(nullptr);
}

template <class Root>
auto* find_by_id(Root& root, std::string_view id) {
    return first_user(root, [id](const Value& u) { return json::str_is(u, "id", id); });
}

template <class Root>
auto* find_by_username_ci(Root& root, std::string_view username) {
    return first_user(root, [username](const Value& u) {
        const Value* name = json::member(u, "username");
        return name && name->IsString() && equal_ignoring_case(json::text(*name), username);
    });
}

// Fills `out` from a stored user object: zeroed, texts cut to fit, the role normalised.
void fill_user(const Value& user, id_user& out);

// A caller's message buffer: given when both its pointer and its capacity are non-zero, emptied
// on construction, and receiving the message of the first failing check.
class Message {
public:
    Message(char* buf, std::size_t cap) : buf_(cap ? buf : nullptr), cap_(cap) {
        if (buf_) buf_[0] = '\0';
    }
    // Copies `text` into the buffer (cut to fit) and returns `code`.
    int fail(int code, const char* text) const {
        if (buf_) tarn_strlcpy(buf_, text, cap_);
        return code;
    }
    char* buf() const { return buf_; }
    std::size_t cap() const { return buf_ ? cap_ : 0; }

private:
    char* buf_;
    std::size_t cap_;
};

}  // namespace tarn::users
