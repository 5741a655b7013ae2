// tarnctl sweep: each store removes what can no longer be used, under its own lock, so that the
// sweep runs safely beside the serving provider (from cron, for instance).
#include <cstdio>
#include <string>
#include <vector>

#include "id_accounts.h"
#include "id_jwt.h"
#include "id_signin.h"
#include "id_tokens.h"
#include "tarnctl/command.hpp"
#include "tarnctl/output.hpp"

namespace tarnctl {

int sweep(const Args& args) {
    struct Count {
        const char* store;
        const char* what;
        std::size_t n;
    };
    std::vector<Count> counts;
    std::vector<std::string> failed;

    id_tokens_swept t{};
    if (id_tokens_sweep(&t) == 0) {
        counts.push_back({"tokens.json", "sessions", t.sessions});
        counts.push_back({"tokens.json", "authorization codes", t.auth_codes});
        counts.push_back({"tokens.json", "refresh tokens", t.refresh_tokens});
        counts.push_back({"tokens.json", "exchanged refresh tokens", t.rotated});
        counts.push_back({"tokens.json", "deletion marks", t.deleted_users});
    } else {
        failed.push_back("tokens.json");
    }
    id_grants_swept g{};
    const int grants = id_user_sweep_grants(&g);
    counts.push_back({"tokens.json", "grants of users that no longer exist", g.tokens});
    counts.push_back({"consents.json", "consents of users that no longer exist", g.consents});
    if (grants != 0) failed.push_back("the grants of gone users (users.json, tokens.json or consents.json)");
    std::size_t revoked = 0;
    if (id_revoke_sweep(&revoked) == 0) {
        counts.push_back({"revoked.json", "revoked identifiers past their expiry", revoked});
    } else {
        failed.push_back("revoked.json");
    }
    id_login_swept l{};
    const int login = id_login_sweep(&l);
    counts.push_back({"login_attempts.json", "sign-in records that no longer count", l.accounts});
    counts.push_back({"login_attempts_ip.json", "address entries past their window", l.addresses});
    if (login != 0) failed.push_back("login_attempts.json or login_attempts_ip.json");

    if (args.json) {
        rapidjson::Document d;
        d.SetObject();
        auto& a = d.GetAllocator();
        JsonValue removed(rapidjson::kArrayType);
        for (const auto& c : counts) {
            JsonValue o(rapidjson::kObjectType);
            o.AddMember("store", rapidjson::StringRef(c.store), a);
            o.AddMember("what", rapidjson::StringRef(c.what), a);
            o.AddMember("removed", static_cast<uint64_t>(c.n), a);
            removed.PushBack(o, a);
        }
        JsonValue bad(rapidjson::kArrayType);
        for (const auto& f : failed) bad.PushBack(JsonValue(f.c_str(), a), a);
        d.AddMember("removed", removed, a);
        d.AddMember("failed", bad, a);
        print_json(d);
    } else {
        Table table({"STORE", "REMOVED", "WHAT"});
        for (const auto& c : counts) table.row({c.store, std::to_string(c.n), c.what});
        table.print();
    }
    if (!failed.empty()) {
        std::string list;
        for (const auto& f : failed) list += (list.empty() ? "" : ", ") + f;
        throw Refusal("could not sweep " + list + " (unreadable, or a lock or save failed); what failed is as it was");
    }
    return kDone;
}

}  // namespace tarnctl
