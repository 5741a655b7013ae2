// The configuration record, assembled afresh on every call: built-in defaults, then config.json
// in the working directory, then the environment.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_foundation.h"
#include "tarn_cgi.h"

namespace {

// The variable's value when it is set and non-empty, else nullptr.
const char* env_value(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

// Creates `path` and each of its parents (mode 0700). Failures are ignored: existing directories
// are the normal case, and one that cannot be created shows up at the first load, save or lock.
void ensure_dir_exists(const char* path) {
    if (!path || !*path) return;
    char work[1024];
    tarn_strlcpy(work, path, sizeof work);
    for (size_t i = 1; work[i]; ++i) {  // a separator in the first place is the root
        if (work[i] == '/' || work[i] == '\\') {
            char saved = work[i];
            work[i] = '\0';
            ::mkdir(work, 0700);
            work[i] = saved;
        }
    }
    ::mkdir(work, 0700);
}

void apply_config_file(id_config* cfg) {
    std::string text;
    if (tarn::read_file("config.json", text) != tarn::ReadStatus::ok) return;
    tarn::Document doc;
    if (!tarn::parse_json(text, doc) || !doc.IsObject()) return;
    auto str = [&doc](const char* name) -> const char* {
        auto it = doc.FindMember(name);
        return (it != doc.MemberEnd() && it->value.IsString()) ? it->value.GetString() : nullptr;
    };
    if (const char* v = str("data_dir")) tarn_strlcpy(cfg->data_dir, v, sizeof cfg->data_dir);
    auto port = doc.FindMember("port");
    if (port != doc.MemberEnd()) {
        // An integer of either sign counts, by its low 32 bits; a number with a fraction or an
        // exponent does not.
        if (port->value.IsInt64()) {
            cfg->port = static_cast<int32_t>(static_cast<uint32_t>(port->value.GetInt64()));
        } else if (port->value.IsUint64()) {
            cfg->port = static_cast<int32_t>(static_cast<uint32_t>(port->value.GetUint64()));
        }
    }
    if (const char* v = str("base_url")) tarn_strlcpy(cfg->base_url, v, sizeof cfg->base_url);
    if (const char* v = str("admin_secret")) tarn_strlcpy(cfg->admin_secret, v, sizeof cfg->admin_secret);
}

}  // namespace

extern "C" {

void id_get_config(id_config* cfg) {
    if (!cfg) return;
    std::memset(cfg, 0, sizeof *cfg);
    tarn_strlcpy(cfg->data_dir, "data", sizeof cfg->data_dir);
    cfg->port = 8080;
    try {
        apply_config_file(cfg);
    } catch (...) {
        // Out of memory while reading config.json: keep what was assembled so far.
    }
    if (const char* v = env_value("IDENTITY_DATA_DIR")) tarn_strlcpy(cfg->data_dir, v, sizeof cfg->data_dir);
    ensure_dir_exists(cfg->data_dir);
    if (const char* v = env_value("IDENTITY_PORT")) cfg->port = std::atoi(v);
    if (const char* v = env_value("IDENTITY_ADMIN_SECRET")) {
        tarn_strlcpy(cfg->admin_secret, v, sizeof cfg->admin_secret);
    }
    if (const char* v = env_value("IDENTITY_BASE_URL")) {
        tarn_strlcpy(cfg->base_url, v, sizeof cfg->base_url);
    } else if (!cfg->base_url[0]) {
        if (const char* host = env_value("HTTP_HOST")) {
            tarn_snprintf(cfg->base_url, sizeof cfg->base_url, "http://%s", host);
        } else {
            tarn_snprintf(cfg->base_url, sizeof cfg->base_url, "http://127.0.0.1:%d", cfg->port);
        }
    }
    size_t len = std::strlen(cfg->base_url);
    if (len > 0 && cfg->base_url[len - 1] == '/') cfg->base_url[len - 1] = '\0';
}

void id_get_file_path(const char* name, char* dst, size_t cap) {
    if (!dst || cap == 0) return;
    id_config cfg;
    id_get_config(&cfg);
    tarn_path_join(dst, cap, cfg.data_dir, name);
}

}  // extern "C"
