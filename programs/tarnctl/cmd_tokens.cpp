// tarnctl tokens: sessions and refresh tokens. Both are credentials: tarnctl prints them masked
// (first and last six characters), in its text and in its JSON alike, and takes the masked
// form back wherever it names one token.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "id_accounts.h"
#include "id_tokens.h"
#include "tarnctl/command.hpp"
#include "tarnctl/lookup.hpp"
#include "tarnctl/output.hpp"
#include "tarnctl/workplace.hpp"

namespace tarnctl {
namespace {

// The display form of a credential: its first six characters, "..." and its last six (eight
// asterisks when it is too short to show any). The listing masks refresh tokens this way.
std::string mask(const std::string& token) {
    if (token.size() <= 12) return "********";
    std::size_t head = 6, tail = token.size() - 6;
    while (head > 0 && (static_cast<unsigned char>(token[head]) & 0xC0) == 0x80) --head;
    while (tail < token.size() && (static_cast<unsigned char>(token[tail]) & 0xC0) == 0x80) ++tail;
    return token.substr(0, head) + "..." + token.substr(tail);
}

// What a refusal echoes of a token the operator gave: masked as the listing shows a credential,
// since it may be one (a session id, or a live token with a character wrong); a text too short
// to be one as it is.
std::string echoed(const std::string& given) { return printable(given.size() <= 12 ? given : mask(given)); }

// The library's listing with every credential replaced by its masked form.
rapidjson::Document masked_listing(const Listing& listing) {
    rapidjson::Document out;
    out.SetObject();
    auto& a = out.GetAllocator();
    auto section = [&listing](const char* name) -> const JsonValue* {
        const auto& doc = listing.doc();
        if (!doc.IsObject()) return nullptr;
        auto it = doc.FindMember(name);
        return it != doc.MemberEnd() && it->value.IsArray() ? &it->value : nullptr;
    };
    auto copy_except = [&a](const JsonValue& from, std::initializer_list<const char*> secret, JsonValue& to) {
        to.SetObject();
        for (auto it = from.MemberBegin(); it != from.MemberEnd(); ++it) {
            bool hidden = false;
            for (const char* s : secret) hidden = hidden || std::string_view(it->name.GetString()) == s;
            if (hidden) {
                const std::string shown = mask(it->value.IsString() ? it->value.GetString() : "");
                to.AddMember(JsonValue((std::string(it->name.GetString()) + "_masked").c_str(), a),
                             JsonValue(shown.c_str(), a), a);
            } else {
                to.AddMember(JsonValue(it->name, a), JsonValue(it->value, a), a);
            }
        }
    };
    for (const char* name : {"sessions", "refresh", "rotated"}) {
        JsonValue list(rapidjson::kArrayType);
        if (const JsonValue* s = section(name))
            for (const auto& record : s->GetArray()) {
                if (!record.IsObject()) continue;
                JsonValue shown;
                if (std::string_view(name) == "refresh") {
                    // The listing masks the token itself: keep that, drop the whole one.
                    shown.SetObject();
                    for (auto it = record.MemberBegin(); it != record.MemberEnd(); ++it)
                        if (std::string_view(it->name.GetString()) != "token")
                            shown.AddMember(JsonValue(it->name, a), JsonValue(it->value, a), a);
                } else if (std::string_view(name) == "sessions") {
                    copy_except(record, {"session_id"}, shown);
                } else {
                    copy_except(record, {"token", "family"}, shown);
                }
                list.PushBack(shown, a);
            }
        out.AddMember(JsonValue(name, a), list, a);
    }
    return out;
}

const JsonValue& section(const Listing& listing, const char* name) {
    static const JsonValue empty(rapidjson::kArrayType);
    const auto& doc = listing.doc();
    if (!doc.IsObject()) return empty;
    auto it = doc.FindMember(name);
    return it != doc.MemberEnd() && it->value.IsArray() ? it->value : empty;
}

// The whole token that `given` names: itself when a record of `sections` holds it in `member`,
// else the one token whose masked form it is. A Refusal when it names none, or several.
std::string resolve(const Listing& listing, const std::string& given,
                    std::initializer_list<std::pair<const char*, const char*>> where) {
    std::vector<std::string> matches;
    for (const auto& [name, member] : where)
        for (const auto& record : section(listing, name).GetArray()) {
            const std::string token = str_member(record, member);
            if (!token.empty() && token == given) return token;
            if (!token.empty() && mask(token) == given &&
                std::find(matches.begin(), matches.end(), token) == matches.end())
                matches.push_back(token);
        }
    if (matches.size() == 1) return matches.front();
    if (matches.empty()) throw Refusal("no refresh token '" + echoed(given) + "'");
    throw Refusal("'" + echoed(given) + "' names " + std::to_string(matches.size()) +
                  " refresh tokens; give the whole token");
}

std::string who(const JsonValue& record) {
    const std::string name = str_member(record, "username");
    return name.empty() ? str_member(record, "user_id") : name;
}

// {"<what>": detail, "revoked": count} (no count when it is negative).
void print_result(const Args& args, const char* what, const std::string& detail, long long count) {
    if (!args.json) return;
    rapidjson::Document d;
    d.SetObject();
    d.AddMember(rapidjson::StringRef(what), JsonValue(detail.c_str(), d.GetAllocator()), d.GetAllocator());
    if (count >= 0) d.AddMember("revoked", static_cast<int64_t>(count), d.GetAllocator());
    print_json(d);
}

}  // namespace

int tokens_list(const Args& args) {
    require_readable({"tokens.json"});
    std::string user_id;
    if (auto name = args.value("user")) user_id = find_user(*name).id;
    Listing listing(id_refresh_token_list_json_scoped(user_id.c_str()), "token listing");
    if (args.json) {
        print_json(masked_listing(listing));
        return kDone;
    }
    Table sessions({"SESSION", "USER", "CREATED", "EXPIRES"});
    for (const auto& s : section(listing, "sessions").GetArray())
        sessions.row({mask(str_member(s, "session_id")), who(s), local_time(int_member(s, "created_at")),
                      local_time(int_member(s, "expires_at"))});
    Table refresh({"REFRESH TOKEN", "USER", "CLIENT", "SCOPE", "EXPIRES"});
    for (const auto& r : section(listing, "refresh").GetArray())
        refresh.row({str_member(r, "token_masked"), who(r), str_member(r, "client_id"), str_member(r, "scope"),
                     local_time(int_member(r, "expires_at"))});
    sessions.print("no sessions");
    std::printf("\n");
    refresh.print("no refresh tokens");
    std::printf("\n%zu exchanged refresh tokens remembered for reuse detection\n",
                static_cast<std::size_t>(section(listing, "rotated").Size()));
    return kDone;
}

int tokens_revoke(const Args& args) {
    const auto user = args.value("user");
    const auto family = args.value("family");
    if ((user ? 1 : 0) + (family ? 1 : 0) + (args.positional.empty() ? 0 : 1) != 1)
        throw UsageError("give one of TOKEN, --user USERNAME, --family TOKEN");
    if (user) {
        const id_user u = find_user(*user);
        if (id_refresh_token_revoke_by_user(u.id) != 0 || id_session_delete_by_user(u.id) != 0)
            throw Refusal("cannot end the tokens of " + printable(u.username) +
                          ": tokens.json could not be read, locked or written");
        if (!args.json)
            std::printf("ended every refresh token and session of %s (%s)\n", printable(u.username).c_str(), u.id);
        print_result(args, "user_id", u.id, -1);
        return kDone;
    }
    Listing listing(id_refresh_token_list_json(), "token listing");
    if (family) {
        const std::string token = resolve(listing, *family, {{"refresh", "token"}, {"rotated", "token"}, {"rotated", "family"}});
        const int removed = id_refresh_token_revoke_family(token.c_str(), nullptr);
        if (removed <= 0) throw Refusal("no active refresh token in the family of '" + echoed(*family) + "'");
        if (!args.json) std::printf("ended %d refresh tokens of the family of %s\n", removed, mask(token).c_str());
        print_result(args, "family_masked", mask(token), removed);
        return kDone;
    }
    const std::string token = resolve(listing, args.positional[0], {{"refresh", "token"}});
    if (id_refresh_token_revoke(token.c_str()) != 0)
        throw Refusal("cannot revoke " + mask(token) + ": it is no longer active, or tokens.json could not be written");
    if (!args.json) std::printf("revoked the refresh token %s\n", mask(token).c_str());
    print_result(args, "token_masked", mask(token), 1);
    return kDone;
}

}  // namespace tarnctl
