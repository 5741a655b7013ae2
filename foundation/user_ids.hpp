// The identifiers of the users that exist, as the account store reads them for the stores below
// it, which cannot read users.json themselves: the sweeps of grants whose user is gone take a
// reader of them and call it once they hold their own lock.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace tarn {

class UserIds {
public:
    void add(std::string_view id) { ids_.emplace(id); }
    bool contains(std::string_view id) const { return ids_.find(std::string(id)) != ids_.end(); }

private:
    // Local, so that none of the standard library's code for the set is exported.
    struct Hash {
        std::size_t operator()(const std::string& id) const { return std::hash<std::string_view>()(id); }
    };
    std::unordered_set<std::string, Hash> ids_;
};

// Fills the set with the users that exist now. False when that cannot be told (users.json missing,
// unreadable, or not an array): nothing may then be taken for a gone user's.
using ReadUserIds = std::function<bool(UserIds&)>;

}  // namespace tarn
