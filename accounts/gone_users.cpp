// The grants of users that no longer exist: the sweep that ends what a deletion killed halfway,
// a store restored from a backup, or a hand edit of users.json left behind. The stores below
// take the users that exist from here, read once each holds its own lock.
#include <cstddef>

#include "accounts/users_store.hpp"
#include "consent/consents.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "foundation/user_ids.hpp"
#include "id_accounts.h"
#include "tokens/grants.hpp"

namespace tarn::users {
namespace {

enum class Known { yes, no_file, unreadable };

// The users of users.json now. A missing file tells nothing: the stores are then left alone.
Known read_users(UserIds& ids) {
    Document doc;
    switch (load_document(kFile, doc)) {
        case LoadStatus::loaded: break;
        case LoadStatus::missing: return Known::no_file;
        case LoadStatus::invalid:
        case LoadStatus::unreadable: return Known::unreadable;
    }
    if (!doc.IsArray()) return Known::unreadable;
    for (const Value& user : doc.GetArray())
        if (user.IsObject()) ids.add(json::str(user, "id"));
    return Known::yes;
}

int sweep(id_grants_swept& out) {
    UserIds probe;
    switch (read_users(probe)) {
        case Known::yes: break;
        case Known::no_file: return 0;
        case Known::unreadable: return -1;
    }
    const ReadUserIds under_lock = [](UserIds& ids) { return read_users(ids) == Known::yes; };
    const long long tokens = tokens::end_grants_of_gone_users(under_lock);
    const long long consents = consent::end_consents_of_gone_users(under_lock);
    out.tokens = tokens > 0 ? static_cast<std::size_t>(tokens) : 0;
    out.consents = consents > 0 ? static_cast<std::size_t>(consents) : 0;
    return tokens < 0 || consents < 0 ? -1 : 0;
}

}  // namespace
}  // namespace tarn::users

extern "C" int id_user_sweep_grants(id_grants_swept* out) {
    id_grants_swept counts{};
    int result = -1;
    try {
        result = tarn::users::sweep(counts);
    } catch (...) {
        result = -1;
    }
    if (out) *out = counts;
    return result;
}
