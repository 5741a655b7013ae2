// tarnctl clients: the client registry. A client's secret leaves tarnctl once, when the client is
// registered; listings show its first characters only.
#include <cstdio>
#include <string>
#include <vector>

#include "id_clients.h"
#include "tarnctl/command.hpp"
#include "tarnctl/lookup.hpp"
#include "tarnctl/output.hpp"
#include "tarnctl/workplace.hpp"

namespace tarnctl {
namespace {

// The client's element of the library's masked listing.
rapidjson::Document client_element(const std::string& client_id) {
    Listing clients(id_client_list_json(), "client listing");
    rapidjson::Document out;
    out.SetObject();
    if (clients.doc().IsArray())
        for (const auto& c : clients.doc().GetArray())
            if (str_member(c, "client_id") == client_id) {
                out.CopyFrom(c, out.GetAllocator());
                break;
            }
    return out;
}

std::vector<std::string> redirect_uris(const JsonValue& client) {
    std::vector<std::string> out;
    auto it = client.FindMember("redirect_uris");
    if (it != client.MemberEnd() && it->value.IsArray())
        for (const auto& u : it->value.GetArray())
            if (u.IsString()) out.emplace_back(u.GetString(), u.GetStringLength());
    return out;
}

std::string masked_secret(const JsonValue& client) {
    const std::string prefix = str_member(client, "secret_prefix");
    return prefix.empty() ? "-" : prefix + "...";
}

}  // namespace

id_client find_client(const std::string& client_id) {
    id_client c{};
    if (id_client_find_by_id(client_id.c_str(), &c)) return c;
    throw Refusal("no client '" + printable(client_id) + "'");
}

int clients_add(const Args& args) {
    const std::string& name = args.positional[0];
    const std::vector<std::string>& uris = args.values("redirect-uri");
    if (uris.empty()) throw UsageError("--redirect-uri is needed");
    if (uris.size() > ID_CLIENT_MAX_REDIRECT_URIS)
        throw UsageError("at most " + std::to_string(ID_CLIENT_MAX_REDIRECT_URIS) + " redirect URIs");
    const std::string scopes = args.value("scope").value_or("");
    std::vector<const char*> list;
    for (const auto& u : uris) list.push_back(u.c_str());
    char client_id[64], secret[64], msg[256];
    const bool is_public = args.flag("public");
    const int rc = id_client_create_v(name.c_str(), list.data(), list.size(), scopes.c_str(), client_id,
                                      sizeof client_id, secret, sizeof secret, is_public, msg, sizeof msg);
    if (rc != 0) {
        std::string which;  // the URI the rule refused, when several were given
        for (std::size_t i = 0; rc == -3 && uris.size() > 1 && which.empty() && i < uris.size(); ++i)
            if (id_redirect_uri_check(uris[i].c_str(), nullptr, 0) != 0) which = " (" + printable(uris[i]) + ")";
        throw Refusal("cannot register " + printable(name) + ": " +
                      (*msg ? msg + which : "clients.json could not be read, locked or written"));
    }
    if (args.json) {
        rapidjson::Document c = client_element(client_id);
        if (!is_public) c.AddMember("client_secret", rapidjson::Value(secret, c.GetAllocator()), c.GetAllocator());
        print_json(c);
        return kDone;
    }
    Record r;
    r.field("client_id", client_id);
    if (!is_public) r.field("client_secret", secret);
    r.print();
    if (!is_public) std::printf("The secret is shown this once: store it now.\n");
    return kDone;
}

int clients_list(const Args& args) {
    require_readable({"clients.json"});
    Listing clients(id_client_list_json(), "client listing");
    if (args.json) {
        print_json_text(clients.text());
        return kDone;
    }
    Table t({"CLIENT ID", "NAME", "TYPE", "SECRET", "SCOPES", "REDIRECT URIS"});
    if (clients.doc().IsArray())
        for (const auto& c : clients.doc().GetArray()) {
            std::string joined;
            for (const auto& u : redirect_uris(c)) joined += (joined.empty() ? "" : " ") + u;
            t.row({str_member(c, "client_id"), str_member(c, "name"),
                   bool_member(c, "public") ? "public" : "confidential", masked_secret(c), str_member(c, "scopes"),
                   joined});
        }
    t.print("no clients");
    return kDone;
}

int clients_show(const Args& args) {
    require_readable({"clients.json"});
    const id_client found = find_client(args.positional[0]);
    rapidjson::Document c = client_element(found.client_id);
    if (args.json) {
        print_json(c);
        return kDone;
    }
    Record r;
    r.field("client_id", str_member(c, "client_id"));
    r.field("name", str_member(c, "name"));
    r.field("type", bool_member(c, "public") ? "public" : "confidential");
    r.field("secret", masked_secret(c));
    r.field("scopes", str_member(c, "scopes"));
    for (const auto& u : redirect_uris(c)) r.field("redirect_uri", u);
    r.print();
    return kDone;
}

int clients_delete(const Args& args) {
    const id_client found = find_client(args.positional[0]);
    rapidjson::Document before = client_element(found.client_id);
    if (id_client_delete(found.client_id) != 0)
        throw Refusal("cannot delete " + printable(found.client_id) + ": clients.json could not be read, locked or written");
    if (args.json) {
        print_json(before);
    } else {
        std::printf("deleted the client %s (%s)\n", printable(found.client_id).c_str(), printable(found.name).c_str());
    }
    return kDone;
}

}  // namespace tarnctl
