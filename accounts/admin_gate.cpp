// The admin API gate: a request passes when its signed-in user is an administrator, or when it
// carries the configured admin secret in the X-Identity-Admin header. A wrong secret is a
// security event and goes to server.log; a missing header or an unconfigured secret does not.
#include <cstdlib>
#include <cstring>

#include "id_accounts.h"
#include "id_foundation.h"
#include "tarn_crypto.h"

extern "C" int id_api_admin_ok(const id_config* cfg, const char* user_id) {
    if (user_id && *user_id && id_user_is_admin_by_id(user_id)) return 1;
    if (!cfg) return 0;
    // An empty secret turns the header route off.
    const std::size_t secret_len = strnlen(cfg->admin_secret, sizeof cfg->admin_secret);
    if (secret_len == 0) return 0;
    const char* header = std::getenv("HTTP_X_IDENTITY_ADMIN");
    if (!header || !*header) return 0;
    if (tarn_ct_equal(header, std::strlen(header), cfg->admin_secret, secret_len)) return 1;
    // The direct peer names the sender: a forwarding header is the sender's own claim.
    const char* remote = std::getenv("REMOTE_ADDR");
    id_log_line("SECURITY: /api admin-secret mismatch from %s", remote && *remote ? remote : "unknown");
    return 0;
}
