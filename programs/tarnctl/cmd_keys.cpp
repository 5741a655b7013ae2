// tarnctl keys: the signing keys. Key material never leaves the library.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "id_keys.h"
#include "tarnctl/command.hpp"
#include "tarnctl/output.hpp"

namespace tarnctl {
namespace {

std::string active_kid(const Listing& keys) {
    if (keys.doc().IsArray())
        for (const auto& k : keys.doc().GetArray())
            if (str_member(k, "status") == "active") return str_member(k, "kid");
    return {};
}

// Why a change of the keys was refused, as far as tarnctl can tell: the published key set's
// directory closed to it (every change writes the file first), else what the library leaves open.
std::string refused_because(const char* library_reasons) {
    const char* published = std::getenv("IDENTITY_JWKS_FILE");
    if (published && *published) {
        std::string dir = published;
        dir.resize(dir.find_last_of('/') == std::string::npos ? 0 : dir.find_last_of('/'));
        if (::access(dir.empty() ? "/" : dir.c_str(), W_OK | X_OK) != 0)
            return "the published key set " + printable(published) + " cannot be written there (" +
                   std::strerror(errno) + "); nothing was changed";
    }
    return std::string(library_reasons) + "; nothing was changed";
}

}  // namespace

int keys_list(const Args& args) {
    // The library's inspection: it reads keys.json as it is and makes no first key.
    Listing report(id_keys_inspect_json(), "key report");
    const auto& doc = report.doc();
    if (str_member(doc, "state") == "invalid" || str_member(doc, "state") == "unreadable")
        throw Refusal("keys.json " + std::string(str_member(doc, "state") == "invalid" ? "does not parse" : "cannot be read") +
                      " (tarnctl check tells more)");
    if (args.json) {
        print_json(doc["keys"]);
        return kDone;
    }
    Table t({"KID", "STATUS", "CREATED", "ALG", "USABLE"});
    for (const auto& k : doc["keys"].GetArray())
        t.row({str_member(k, "kid"), str_member(k, "status"), local_time(int_member(k, "created")), str_member(k, "alg"),
               bool_member(k, "usable") ? "yes" : "no"});
    t.print(str_member(doc, "state") == "missing" ? "no keys yet: the first request for the key set makes one" : "no keys");
    return kDone;
}

int keys_rotate(const Args& args) {
    if (id_keys_rotate() != 0)
        throw Refusal("cannot rotate the keys: " +
                      refused_because("eight keys are kept (prune first), or keys.json could not be read, locked or "
                                      "written"));
    Listing keys(id_keys_list_json(), "key listing");
    if (args.json) {
        print_json_text(keys.text());
    } else {
        std::printf("rotated: the active key is now %s (%u keys)\n", printable(active_kid(keys)).c_str(),
                    keys.doc().IsArray() ? keys.doc().Size() : 0u);
    }
    return kDone;
}

int keys_prune(const Args& args) {
    const auto age = args.value("max-age");
    if (!age) throw UsageError("--max-age is needed");
    const int64_t seconds = parse_count("max-age", *age, 0, 100LL * 365 * 86400);
    const bool dry_run = args.flag("dry-run");
    char kids[512] = "";
    const int n = id_keys_prune_age(seconds, dry_run ? 1 : 0, kids, sizeof kids);
    if (n < 0) throw Refusal("cannot prune the keys: " + refused_because("keys.json could not be read, locked or written"));
    if (args.json) {
        rapidjson::Document d;
        d.SetObject();
        auto& a = d.GetAllocator();
        JsonValue list(rapidjson::kArrayType);
        std::string all = kids;
        for (std::size_t at = 0; at < all.size();) {
            std::size_t end = all.find(' ', at);
            if (end == std::string::npos) end = all.size();
            list.PushBack(JsonValue(all.substr(at, end - at).c_str(), a), a);
            at = end + 1;
        }
        d.AddMember(rapidjson::StringRef(dry_run ? "would_remove" : "removed"), list, a);
        print_json(d);
    } else if (n == 0) {
        std::printf("no retired key is older than %lld s\n", static_cast<long long>(seconds));
    } else {
        std::printf("%s %d retired keys: %s\n", dry_run ? "would remove" : "removed", n, printable(kids).c_str());
    }
    return kDone;
}

}  // namespace tarnctl
