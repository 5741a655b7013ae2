// TEMPORARY, until the library gains these calls (after the layout move): stand-ins with the
// planned contracts for what can be done with today's interface, refusing the rest.
#include <cstdlib>
#include <cstring>
#include <string>

#include "identity_common.h"

extern "C" int id_client_create_v(const char* name, const char* const* uris, size_t count, const char* scopes,
                                  char* client_id_out, size_t client_id_cap, char* secret_out, size_t secret_cap,
                                  int is_public, char* msg, size_t msg_cap) {
    if (count != 1) {
        if (msg && msg_cap) tarn_strlcpy(msg, "several redirect URIs are not supported yet", msg_cap);
        return -1;
    }
    return id_client_create(name, uris[0], scopes, client_id_out, client_id_cap, secret_out, secret_cap, is_public,
                            msg, msg_cap);
}

extern "C" int id_keys_prune_age(int64_t max_age, int dry_run, char* kids, size_t cap) {
    if (kids && cap) kids[0] = '\0';
    if (dry_run || max_age % 86400 != 0) return -1;
    return id_keys_prune(static_cast<int32_t>(max_age / 86400));
}

extern "C" char* id_config_report_json(void) {
    const char* dir = getenv("IDENTITY_DATA_DIR");
    const char* jwks = getenv("IDENTITY_JWKS_FILE");
    const bool d = dir && *dir, j = jwks && *jwks;
    std::string text = std::string("{\"config_file\":{\"path\":\"\",\"state\":\"missing\"},\"values\":[") +
                       "{\"name\":\"data_dir\",\"value\":\"" + (d ? dir : "data") + "\",\"source\":\"" +
                       (d ? "environment" : "default") + "\"},{\"name\":\"jwks_file\",\"value\":\"" + (j ? jwks : "") +
                       "\",\"source\":\"" + (j ? "environment" : "default") + "\"}],\"problems\":[]}";
    char* out = static_cast<char*>(malloc(text.size() + 1));
    memcpy(out, text.c_str(), text.size() + 1);
    return out;
}
extern "C" char* id_keys_inspect_json(void) { return nullptr; }
