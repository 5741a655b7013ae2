// tarnctl users: accounts through the library's user store.
#include <cstdio>
#include <string>

#include "id_accounts.h"
#include "tarnctl/command.hpp"
#include "tarnctl/lookup.hpp"
#include "tarnctl/output.hpp"
#include "tarnctl/password.hpp"
#include "tarnctl/workplace.hpp"

namespace tarnctl {
namespace {

// The user's element of the library's listing (no password hash), as a document of its own.
rapidjson::Document user_element(const std::string& id) {
    Listing users(id_user_list_json(), "user listing");
    rapidjson::Document out;
    out.SetObject();
    if (users.doc().IsArray())
        for (const auto& u : users.doc().GetArray())
            if (str_member(u, "id") == id) {
                out.CopyFrom(u, out.GetAllocator());
                break;
            }
    return out;
}

// A password for `username`: one line of standard input, or typed twice on the terminal. The
// library's policy is checked after the first typing, so that a refused password is not typed
// twice; its message is shown as it is, after `refusal`.
Secret new_password(const Args& args, const std::string& username, const std::string& refusal) {
    if (args.flag("password-stdin")) return read_password_stdin();
    const std::string prompt = "New password for " + printable(username) + ": ";
    Secret first = read_password_tty(prompt.c_str(), nullptr);
    char msg[256];
    if (id_password_policy(username.c_str(), first.c_str(), msg, sizeof msg) != 0) throw Refusal(refusal + msg);
    Secret again = read_password_tty("Repeat it: ", nullptr);
    if (first.str() != again.str()) throw Refusal("the two passwords differ; nothing was changed");
    return first;
}

void print_user(const id_user& u) {
    Record r;
    r.field("id", u.id);
    r.field("username", u.username);
    r.field("email", *u.email ? u.email : "-");
    r.field("role", u.role);
    r.field("created", local_time(u.created));
    r.field("last sign-in", local_time(u.last_login));
    r.print();
}

}  // namespace

id_user find_user(const std::string& username) {
    id_user u{};
    if (id_user_find_by_username(username.c_str(), &u) || id_user_find_by_username_ci(username.c_str(), &u)) return u;
    throw Refusal("no user named '" + printable(username) + "'");
}

std::map<std::string, std::string> usernames_by_id() {
    Listing users(id_user_list_json(), "user listing");
    std::map<std::string, std::string> out;
    if (users.doc().IsArray())
        for (const auto& u : users.doc().GetArray()) out.emplace(str_member(u, "id"), str_member(u, "username"));
    return out;
}

int users_add(const Args& args) {
    const std::string& username = args.positional[0];
    const auto role = args.value("role");
    if (role && *role != "owner" && *role != "admin" && *role != "user")
        throw UsageError("--role takes owner, admin or user, not '" + printable(*role) + "'");
    const std::string email = args.value("email").value_or("");
    const std::string refusal = "cannot add " + printable(username) + ": ";
    Secret password = new_password(args, username, refusal);
    char id[64], msg[256];
    const int rc = id_user_create_role(username.c_str(), password.c_str(), email.c_str(), role ? role->c_str() : nullptr,
                                       id, sizeof id, msg, sizeof msg);
    if (rc != 0)
        throw Refusal(refusal + (*msg ? msg : "users.json could not be read, locked or written"));
    id_user u{};
    id_user_find_by_id(id, &u);
    if (args.json) {
        print_json(user_element(id));
    } else {
        std::printf("added the user %s (%s), role %s\n", printable(username).c_str(), id, u.role);
    }
    return kDone;
}

int users_list(const Args& args) {
    require_readable({"users.json"});
    Listing users(id_user_list_json(), "user listing");
    if (args.json) {
        print_json_text(users.text());
        return kDone;
    }
    Table t({"ID", "USERNAME", "EMAIL", "ROLE", "CREATED", "LAST SIGN-IN"});
    if (users.doc().IsArray())
        for (const auto& u : users.doc().GetArray()) {
            const std::string email = str_member(u, "email");
            t.row({str_member(u, "id"), str_member(u, "username"), email.empty() ? "-" : email, str_member(u, "role"),
                   local_time(int_member(u, "created")), local_time(int_member(u, "last_login"))});
        }
    t.print("no users");
    return kDone;
}

int users_show(const Args& args) {
    require_readable({"users.json"});
    const id_user u = find_user(args.positional[0]);
    if (args.json) {
        print_json(user_element(u.id));
    } else {
        print_user(u);
    }
    return kDone;
}

int users_passwd(const Args& args) {
    const id_user u = find_user(args.positional[0]);
    const std::string refusal = "cannot set the password of " + printable(u.username) + ": ";
    Secret password = new_password(args, u.username, refusal);
    char msg[256];
    if (id_user_set_password(u.id, password.c_str(), msg, sizeof msg) != 0)
        throw Refusal(refusal + (*msg ? msg : "users.json changed under the change; nothing was changed"));
    if (args.json) {
        print_json(user_element(u.id));
    } else {
        std::printf("set the password of %s (%s)\n", printable(u.username).c_str(), u.id);
    }
    return kDone;
}

int users_delete(const Args& args) {
    const id_user u = find_user(args.positional[0]);
    if (id_user_is_last_admin(u.id) && !args.flag("force"))
        throw Refusal(printable(u.username) + " is the last administrator; --force deletes it all the same");
    rapidjson::Document before = user_element(u.id);
    if (id_user_delete(u.id) != 0)
        throw Refusal("cannot delete " + printable(u.username) +
                      ": the data directory's stores could not be read or written (if its sessions and "
                      "tokens were ended, run the command again to finish)");
    if (args.json) {
        print_json(before);
    } else {
        std::printf("deleted the user %s (%s); its sessions, codes and refresh tokens ended\n",
                    printable(u.username).c_str(), u.id);
    }
    return kDone;
}

}  // namespace tarnctl
