// tarnctl consents and audit: the consents users gave clients, and the audit trail.
#include <cstdio>
#include <string>

#include "id_audit.h"
#include "id_consent.h"
#include "tarnctl/command.hpp"
#include "tarnctl/lookup.hpp"
#include "tarnctl/output.hpp"
#include "tarnctl/workplace.hpp"

namespace tarnctl {
namespace {

// The username of `user_id`, or the identifier itself, marked, when no such user exists.
std::string user_label(const std::map<std::string, std::string>& names, const std::string& user_id) {
    auto it = names.find(user_id);
    return it != names.end() ? it->second : user_id + " (no such user)";
}

}  // namespace

int consents_list(const Args& args) {
    require_readable({"consents.json"});
    Listing consents(id_consent_list_json(), "consent listing");
    if (args.json) {
        print_json_text(consents.text());
        return kDone;
    }
    const auto names = usernames_by_id();
    Table t({"USER", "CLIENT", "SCOPES", "GRANTED"});
    if (consents.doc().IsArray())
        for (const auto& c : consents.doc().GetArray())
            t.row({user_label(names, str_member(c, "user_id")), str_member(c, "client_id"), str_member(c, "scopes"),
                   local_time(int_member(c, "granted"))});
    t.print("no consents");
    return kDone;
}

int consents_revoke(const Args& args) {
    const id_user u = find_user(args.positional[0]);
    const std::string& client_id = args.positional[1];
    Listing consents(id_consent_list_json(), "consent listing");
    rapidjson::Document found;
    found.SetNull();
    if (consents.doc().IsArray())
        for (const auto& c : consents.doc().GetArray())
            if (str_member(c, "user_id") == u.id && str_member(c, "client_id") == client_id) {
                found.CopyFrom(c, found.GetAllocator());
                break;
            }
    if (found.IsNull())
        throw Refusal(printable(u.username) + " has given '" + printable(client_id) + "' no consent");
    if (id_consent_revoke(u.id, client_id.c_str()) != 0)
        throw Refusal("cannot withdraw the consent: consents.json could not be locked or written");
    if (args.json) {
        print_json(found);
    } else {
        std::printf("withdrew the consent %s gave %s\n", printable(u.username).c_str(), printable(client_id).c_str());
    }
    return kDone;
}

int audit_list(const Args& args) {
    require_readable({"audit_log.json"});
    int max = 0;
    if (auto n = args.value("max")) max = static_cast<int>(parse_count("max", *n, 1, 1000000));
    Listing events(id_audit_list_json(max), "audit listing");
    if (args.json) {
        print_json_text(events.text());
        return kDone;
    }
    Table t({"TIME", "EVENT", "USER", "ADDRESS", "DETAIL"});
    if (events.doc().IsArray())
        for (const auto& e : events.doc().GetArray()) {
            std::string user = str_member(e, "username");
            if (user.empty()) user = str_member(e, "user_id");
            t.row({local_time(int_member(e, "ts")), str_member(e, "event"), user.empty() ? "-" : user,
                   str_member(e, "ip"), str_member(e, "detail")});
        }
    t.print("no audit events");
    return kDone;
}

int audit_prune(const Args& args) {
    const auto keep = args.value("keep");
    if (!keep) throw UsageError("--keep is needed");
    const int n = static_cast<int>(parse_count("keep", *keep, 0, 1000000));
    const int removed = id_audit_prune(n);
    if (removed < 0) throw Refusal("cannot prune the audit trail: audit_log.json could not be locked or written");
    if (args.json) {
        rapidjson::Document d;
        d.SetObject();
        d.AddMember("removed", removed, d.GetAllocator());
        d.AddMember("kept", id_audit_count(), d.GetAllocator());
        print_json(d);
    } else {
        std::printf("removed %d audit events; %d kept\n", removed, id_audit_count());
    }
    return kDone;
}

}  // namespace tarnctl
