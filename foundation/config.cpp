// The configuration record, assembled afresh on every call: built-in defaults, then config.json
// in the working directory, then the environment. One reader does it, for id_get_config and for
// the report that says where each value came from and what is wrong with config.json.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/config.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "foundation/utf8.hpp"
#include "id_foundation.h"
#include "tarn_cgi.h"

namespace tarn::config {
namespace {

enum class Source { built_in, file, environment };

const char* source_name(Source s) {
    switch (s) {
        case Source::file: return "config.json";
        case Source::environment: return "environment";
        case Source::built_in: break;
    }
    return "default";
}

// The members config.json may hold, in the order of the report.
constexpr const char* kMembers[] = {"data_dir", "port", "base_url", "admin_secret", "jwks_file"};

// Everything one reading of the configuration found.
struct Assembly {
    id_config cfg{};
    std::string jwks_file;
    Source sources[5] = {};   // in the order of kMembers
    const char* file_state = "missing";  // "missing", "read", "unreadable", "invalid"
    std::vector<std::string> problems;
};

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

// The size of the record's field for member `known` of kMembers (0: no fixed field).
std::size_t field_size(std::size_t known) {
    static const id_config cfg{};
    switch (known) {
        case 0: return sizeof cfg.data_dir;
        case 2: return sizeof cfg.base_url;
        case 3: return sizeof cfg.admin_secret;
        default: return 0;
    }
}

// What keeps the text `s` (of `n` bytes) from being member `known` whole, or "": a NUL inside (the
// text is not used: cut there it would be another path, issuer or a far weaker secret), or more
// bytes than its field holds (it is cut to fit, as the record has always done, but named).
std::string unusable_text(const char* s, std::size_t n, std::size_t known) {
    if (std::memchr(s, '\0', n)) return "holds a NUL character: it is not used";
    if (const std::size_t size = field_size(known); size && n >= size)
        return "is longer than " + std::to_string(size - 1) + " bytes: it is cut to " + std::to_string(size - 1);
    return {};
}

void apply_config_file(Assembly& as) {
    id_config* cfg = &as.cfg;
    std::string text;
    switch (tarn::read_file("config.json", text)) {
        case ReadStatus::ok: break;
        case ReadStatus::missing: return;
        case ReadStatus::error:
            as.file_state = "unreadable";
            as.problems.push_back("config.json cannot be read: its settings are not used");
            return;
    }
    tarn::Document doc;
    if (!tarn::parse_json(text, doc)) {
        as.file_state = "invalid";
        as.problems.push_back("config.json does not parse (strict JSON: no comments, no trailing commas): "
                              "its settings are not used");
        return;
    }
    as.file_state = "read";
    if (!doc.IsObject()) {
        as.problems.push_back("config.json: the root is not an object: its settings are not used");
        return;
    }
    // Every member is looked at once, the first of a name counting, as the reads below take it.
    bool usable[std::size(kMembers)] = {};
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        const std::string_view name(it->name.GetString(), it->name.GetStringLength());
        std::size_t known = 0;
        while (known < std::size(kMembers) && name != kMembers[known]) ++known;
        if (known == std::size(kMembers)) {
            as.problems.push_back("config.json: unknown member \"" + std::string(name) + "\" is not used");
            continue;
        }
        bool first = true;
        for (auto before = doc.MemberBegin(); before != it; ++before)
            if (std::string_view(before->name.GetString(), before->name.GetStringLength()) == name) first = false;
        if (!first) {
            as.problems.push_back("config.json: \"" + std::string(name) + "\" appears more than once; the first counts");
            continue;
        }
        const bool is_port = name == "port";
        const bool right = is_port ? (it->value.IsInt64() || it->value.IsUint64()) : it->value.IsString();
        if (!right) {
            as.problems.push_back("config.json: \"" + std::string(name) + "\" is not " +
                                  (is_port ? "an integer" : "a string") + ": it is not used");
            continue;
        }
        if (is_port) {
            // Taken by its low 32 bits, as before, but a value beyond them is named: it may
            // well land on a port that looks right.
            const bool fits = it->value.IsInt() ||
                              (it->value.IsUint64() && it->value.GetUint64() <= UINT32_MAX);
            if (!fits)
                as.problems.push_back("config.json: \"port\" " +
                                      (it->value.IsUint64() ? std::to_string(it->value.GetUint64())
                                                            : std::to_string(it->value.GetInt64())) +
                                      " is not a TCP port from 1 to 65535");
        } else if (const std::string why = unusable_text(it->value.GetString(), it->value.GetStringLength(),
                                                         known);
                   !why.empty()) {
            as.problems.push_back("config.json: \"" + std::string(name) + "\" " + why);
            if (std::memchr(it->value.GetString(), '\0', it->value.GetStringLength())) continue;
        }
        usable[known] = true;
        as.sources[known] = Source::file;
    }
    auto str = [&doc, &usable](const char* name) -> const char* {
        std::size_t known = 0;
        while (known < std::size(kMembers) && std::string_view(name) != kMembers[known]) ++known;
        auto it = doc.FindMember(name);
        return (known < std::size(kMembers) && usable[known] && it != doc.MemberEnd() && it->value.IsString())
                   ? it->value.GetString()
                   : nullptr;
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
    if (const char* v = str("jwks_file")) as.jwks_file = v;
}

// The directory part of `path` ("." for a bare name), without trailing separators.
std::string parent_of(const std::string& path) {
    std::size_t end = path.find_last_of('/');
    if (end == std::string::npos) return ".";
    while (end > 0 && path[end - 1] == '/') --end;
    return end == 0 ? "/" : path.substr(0, end);
}

// The same directory by its identity (device and inode), so that "data" and "/abs/data" and a
// path through a link compare equal.
bool same_directory(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) {
        std::string x = a, y = b;
        while (x.size() > 1 && x.back() == '/') x.pop_back();
        while (y.size() > 1 && y.back() == '/') y.pop_back();
        return x == y;
    }
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void assemble(Assembly& as, bool create_dir) {
    id_config* cfg = &as.cfg;
    std::memset(cfg, 0, sizeof *cfg);
    tarn_strlcpy(cfg->data_dir, "data", sizeof cfg->data_dir);
    cfg->port = 8080;
    try {
        apply_config_file(as);
    } catch (...) {
        // Out of memory while reading config.json: keep what was assembled so far.
    }
    // A variable too long for its field is cut to fit and named, as in config.json.
    auto env_text = [&as](const char* name, std::size_t known) -> const char* {
        const char* v = env_value(name);
        if (v)
            if (const std::string why = unusable_text(v, std::strlen(v), known); !why.empty())
                as.problems.push_back(std::string(name) + " " + why);
        return v;
    };
    if (const char* v = env_text("IDENTITY_DATA_DIR", 0)) {
        tarn_strlcpy(cfg->data_dir, v, sizeof cfg->data_dir);
        as.sources[0] = Source::environment;
    }
    if (create_dir) ensure_dir_exists(cfg->data_dir);
    if (const char* v = env_value("IDENTITY_PORT")) {
        cfg->port = std::atoi(v);
        as.sources[1] = Source::environment;
    }
    if (const char* v = env_text("IDENTITY_ADMIN_SECRET", 3)) {
        tarn_strlcpy(cfg->admin_secret, v, sizeof cfg->admin_secret);
        as.sources[3] = Source::environment;
    }
    if (const char* v = env_text("IDENTITY_BASE_URL", 2)) {
        tarn_strlcpy(cfg->base_url, v, sizeof cfg->base_url);
        as.sources[2] = Source::environment;
    } else if (!cfg->base_url[0]) {
        if (const char* host = env_value("HTTP_HOST")) {
            tarn_snprintf(cfg->base_url, sizeof cfg->base_url, "http://%s", host);
        } else {
            tarn_snprintf(cfg->base_url, sizeof cfg->base_url, "http://127.0.0.1:%d", cfg->port);
        }
    }
    size_t len = std::strlen(cfg->base_url);
    if (len > 0 && cfg->base_url[len - 1] == '/') cfg->base_url[len - 1] = '\0';
    if (const char* v = env_value("IDENTITY_JWKS_FILE")) {
        as.jwks_file = v;
        as.sources[4] = Source::environment;
    }
}

// The key-set file of `as` when it can be used, else "" (with the reason among the problems).
std::string usable_jwks_file(Assembly& as) {
    const std::string& f = as.jwks_file;
    if (f.empty()) return f;
    const char* origin = as.sources[4] == Source::environment ? "IDENTITY_JWKS_FILE" : "jwks_file of config.json";
    if (f[0] != '/' || f.back() == '/') {
        as.problems.push_back(std::string(origin) + " \"" + f + "\" is not an absolute path of a file: no key set is published");
        return {};
    }
    if (same_directory(parent_of(f), as.cfg.data_dir)) {
        as.problems.push_back(std::string(origin) + " \"" + f +
                              "\" is in the data directory: no key set is published there");
        return {};
    }
    return f;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return path;
    std::string out = cwd;
    if (out.back() != '/') out += '/';
    return out + path;
}

char* report() {
    Assembly as;
    assemble(as, false);
    const std::string jwks = usable_jwks_file(as);
    if (as.cfg.port < 1 || as.cfg.port > 65535)
        as.problems.push_back("port " + std::to_string(as.cfg.port) + " is not a TCP port from 1 to 65535 (set in " +
                              (as.sources[1] == Source::environment ? "IDENTITY_PORT" : "config.json") + ")");

    JsonBuffer buf;
    JsonWriter<rapidjson::kWriteValidateEncodingFlag> w(buf);
    // Every text as valid UTF-8: a configured value may be cut inside a character, or crafted.
    auto text = [&w](std::string_view s) {
        const std::string t = utf8::repaired(s);
        return w.String(t.data(), static_cast<rapidjson::SizeType>(t.size()));
    };
    bool ok = w.StartObject() && w.Key("config_file") && w.StartObject() && w.Key("path") &&
              text(absolute("config.json")) && w.Key("state") && text(as.file_state) && w.EndObject();
    const std::string values[] = {as.cfg.data_dir, std::to_string(as.cfg.port), as.cfg.base_url,
                                  as.cfg.admin_secret[0] ? "(set)" : "", as.jwks_file};
    ok = ok && w.Key("values") && w.StartArray();
    for (std::size_t i = 0; ok && i < std::size(kMembers); ++i)
        ok = w.StartObject() && w.Key("name") && text(kMembers[i]) && w.Key("value") && text(values[i]) &&
             w.Key("source") && text(source_name(as.sources[i])) && w.EndObject();
    ok = ok && w.EndArray() && w.Key("problems") && w.StartArray();
    for (std::size_t i = 0; ok && i < as.problems.size(); ++i) ok = text(as.problems[i]);
    ok = ok && w.EndArray() && w.EndObject();
    return ok ? heap_text({buf.GetString(), buf.GetSize()}) : nullptr;
}

}  // namespace

std::string jwks_file() {
    Assembly as;
    assemble(as, false);
    return usable_jwks_file(as);
}

std::string data_dir() {
    Assembly as;
    assemble(as, false);
    return as.cfg.data_dir;
}

}  // namespace tarn::config

extern "C" {

void id_get_config(id_config* cfg) {
    if (!cfg) return;
    tarn::config::Assembly as;
    try {
        tarn::config::assemble(as, true);
    } catch (...) {
        // Out of memory for a problem's text or the key-set file's name: the record is whole.
    }
    *cfg = as.cfg;
}

void id_get_file_path(const char* name, char* dst, size_t cap) {
    if (!dst || cap == 0) return;
    id_config cfg;
    id_get_config(&cfg);
    tarn_path_join(dst, cap, cfg.data_dir, name);
}

char* id_config_report_json(void) {
    try {
        return tarn::config::report();
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
