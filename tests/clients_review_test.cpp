// The client registry under a careless registration: a scope list longer than the record's
// 256-byte field is stored whole, and the record a lookup fills must not allow a scope that the
// client was never given.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "id_clients.h"
#include "id_consent.h"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

// The scopes of a registered client, as a lookup hands them to the authorization step, must never
// allow more than the registered list: a cut inside the last name that fits spells a shorter name,
// and "admin_readonly" cut after five bytes allows "admin".
TEST(ClientScopes, ALongScopeListIsNeverCutIntoAnotherScope) {
    DataDirFixture data;
    struct Case {
        const char* what;
        std::string registered_last;  // the name that straddles byte 255 of the list
        const char* requested;        // the name its first bytes spell
    } cases[] = {
        {"admin_readonly cut to admin", "admin_readonly", "admin"},
        {"email_verified cut to email", "email_verified", "email"},
        {"openid2 cut to openid", "openid2", "openid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Other names up to the byte where the straddling name starts, so that the name it
        // spells ends exactly at byte 255, where the record's 256-byte field cuts the list.
        const std::string requested = c.requested;
        const std::size_t start = 255 - requested.size();
        std::string scopes = "profile " + std::string(start - 8 - 1, 'p') + " ";
        ASSERT_EQ(scopes.size(), start);
        scopes.append(c.registered_last);
        char id[32], secret[32];
        if (id_client_create("App", "https://app/cb", scopes.c_str(), id, sizeof id, secret, sizeof secret, 0, nullptr,
                             0) != 0)
            continue;  // refusing a list the record cannot hold is a sound answer too
        id_client client;
        ASSERT_TRUE(id_client_find_by_id(id, &client));
        char granted[256];
        id_scope_intersect(c.requested, client.scopes, granted, sizeof granted);
        EXPECT_STREQ(granted, "") << "the client was registered with \"" << c.registered_last << "\" only";
    }
}

}  // namespace
