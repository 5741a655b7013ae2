// config.json: the input is written to config.json in a scratch working directory and the
// configuration is assembled with no IDENTITY_* variable and no HTTP_HOST set. Checked:
// - every text field is NUL-terminated within its array;
// - each field is what the reading rules give (strings cut at their array size or at a NUL
//   inside them, integer ports by their low 32 bits, other types ignored, an invalid file or a
//   root that is not an object ignored entirely);
// - base_url has no trailing "/" unless it ended in "//", and is derived from the port when the
//   file sets none;
// - the directories created are each prefix of data_dir ending before a separator (after the
//   first character), then data_dir itself.
// The report of the same configuration (id_config_report_json) is checked against the rules too:
// it parses, names the five settings in order with the values just assembled and, for each, the
// source the file gives (config.json for the first member of a known name of the right type, else
// the default), never the admin secret itself, and one problem for a file that does not parse,
// for a root that is not an object, for each unknown, repeated or mistyped member, for a port
// outside 1-65535 and for a jwks_file that is not an absolute file path (one more at most for a
// jwks_file in the data directory, which depends on this machine's directories).
// mkdir is replaced in this program (the library's calls resolve to the definition below), so a
// data_dir from the input never creates anything on this machine.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/document.hpp"
#include "foundation/utf8.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "id_foundation.h"

using namespace tarn::fuzz;

namespace {

bool g_recording = false;
std::vector<std::string> g_made;

}  // namespace

extern "C" int mkdir(const char* path, mode_t mode) noexcept {
    if (g_recording) {
        g_made.emplace_back(path);
        return 0;
    }
    return static_cast<int>(::syscall(SYS_mkdir, path, mode));
}

namespace {

// Whether a string member holds a NUL: such a member is a problem and sets nothing.
bool holds_nul(const tarn::Value& v) { return text_of(v).find('\0') != std::string_view::npos; }

// What a string member sets: its text cut to cap - 1 bytes.
std::string cut_text(const tarn::Value& v, std::size_t cap) { return std::string(text_of(v).substr(0, cap - 1)); }

struct Expected {
    std::string data_dir = "data";
    std::string base_url;
    std::int32_t port = 8080;
    std::string admin_secret;
    std::string base_url_given;  // before its one trailing "/" is removed
};

Expected expected_config(std::string_view file) {
    Expected e;
    tarn::Document doc;
    if (tarn::parse_json(file, doc) && doc.IsObject()) {
        if (const tarn::Value* v = first_member(doc, "data_dir"); v && v->IsString() && !holds_nul(*v))
            e.data_dir = cut_text(*v, sizeof(id_config::data_dir));
        if (const tarn::Value* v = first_member(doc, "port")) {
            if (v->IsInt64()) {
                e.port = static_cast<std::int32_t>(static_cast<std::uint32_t>(v->GetInt64()));
            } else if (v->IsUint64()) {
                e.port = static_cast<std::int32_t>(static_cast<std::uint32_t>(v->GetUint64()));
            }
        }
        if (const tarn::Value* v = first_member(doc, "base_url"); v && v->IsString() && !holds_nul(*v))
            e.base_url = cut_text(*v, sizeof(id_config::base_url));
        if (const tarn::Value* v = first_member(doc, "admin_secret"); v && v->IsString() && !holds_nul(*v))
            e.admin_secret = cut_text(*v, sizeof(id_config::admin_secret));
    }
    if (e.base_url.empty()) e.base_url = "http://127.0.0.1:" + std::to_string(e.port);
    e.base_url_given = e.base_url;
    if (e.base_url.back() == '/') e.base_url.pop_back();
    return e;
}

// The settings of the report in order, and what the file alone makes of them.
constexpr const char* kSettings[] = {"data_dir", "port", "base_url", "admin_secret", "jwks_file"};

struct ExpectedReport {
    bool parses = false;
    bool from_file[5] = {};
    std::size_t problems = 0;   // at least
    bool maybe_one_more = false;
    std::string jwks_file;
};

ExpectedReport expected_report(std::string_view file, std::int32_t port) {
    ExpectedReport r;
    tarn::Document doc;
    if (!tarn::parse_json(file, doc)) {
        r.problems = 1;
        return r;
    }
    r.parses = true;
    if (!doc.IsObject()) {
        r.problems = 1;
        return r;
    }
    std::vector<std::string_view> seen;
    for (const auto& m : doc.GetObject()) {
        const std::string_view name = text_of(m.name);
        std::size_t k = 0;
        while (k < 5 && name != kSettings[k]) ++k;
        const bool repeated = std::find(seen.begin(), seen.end(), name) != seen.end();
        seen.push_back(name);
        if (k == 5 || repeated) {
            ++r.problems;
            continue;
        }
        const bool right = k == 1 ? (m.value.IsInt64() || m.value.IsUint64()) : m.value.IsString();
        if (!right) {
            ++r.problems;
            continue;
        }
        // A text with a NUL is a problem and not used; one longer than its field is a problem
        // and cut; a port beyond 32 bits is a problem and taken by its low bits.
        if (k != 1 && holds_nul(m.value)) {
            ++r.problems;
            continue;
        }
        const std::size_t caps[] = {sizeof(id_config::data_dir), 0, sizeof(id_config::base_url),
                                    sizeof(id_config::admin_secret), 0};
        if (k != 1 && caps[k] && text_of(m.value).size() >= caps[k]) ++r.problems;
        if (k == 1 && !m.value.IsInt() && !(m.value.IsUint64() && m.value.GetUint64() <= UINT32_MAX)) ++r.problems;
        r.from_file[k] = true;
        if (k == 4) r.jwks_file = std::string(text_of(m.value));
    }
    if (port < 1 || port > 65535) ++r.problems;
    if (!r.jwks_file.empty()) {
        if (r.jwks_file[0] != '/' || r.jwks_file.back() == '/')
            ++r.problems;
        else
            r.maybe_one_more = true;
    }
    return r;
}

void check_report(std::string_view file, const id_config& cfg) {
    const ExpectedReport want = expected_report(file, cfg.port);
    char* text = id_config_report_json();
    FUZZ_CHECK(text != nullptr);
    tarn::Document doc;
    const bool parsed = tarn::parse_json(text, doc);
    id_free(text);
    FUZZ_CHECK(parsed && doc.IsObject());
    const tarn::Value* state = first_member(first_member(doc, "config_file") ? *first_member(doc, "config_file") : doc,
                                            "state");
    FUZZ_CHECK(state && state->IsString() && text_of(*state) == (want.parses ? "read" : "invalid"));
    const tarn::Value* values = first_member(doc, "values");
    FUZZ_CHECK(values && values->IsArray() && values->Size() == 5);
    const std::string assembled[] = {cfg.data_dir, std::to_string(cfg.port), cfg.base_url,
                                     cfg.admin_secret[0] ? "(set)" : "", want.jwks_file};
    for (rapidjson::SizeType k = 0; k < 5; ++k) {
        const tarn::Value& v = (*values)[k];
        const tarn::Value* name = first_member(v, "name");
        const tarn::Value* value = first_member(v, "value");
        const tarn::Value* source = first_member(v, "source");
        FUZZ_CHECK(name && value && source && name->IsString() && value->IsString() && source->IsString());
        FUZZ_CHECK(text_of(*name) == kSettings[k]);
        // A value that is not valid UTF-8 (cut inside a character) is reported repaired.
        FUZZ_CHECK(tarn::utf8::valid(text_of(*value)));
        FUZZ_CHECK(tarn::utf8::valid(assembled[k]) ? text_of(*value) == assembled[k] : text_of(*value) != assembled[k]);
        FUZZ_CHECK(text_of(*source) == (want.from_file[k] ? "config.json" : "default"));
    }
    const tarn::Value* problems = first_member(doc, "problems");
    FUZZ_CHECK(problems && problems->IsArray());
    FUZZ_CHECK(problems->Size() == want.problems || (want.maybe_one_more && problems->Size() == want.problems + 1));
}

std::vector<std::string> expected_dirs(const std::string& data_dir) {
    std::vector<std::string> dirs;
    if (data_dir.empty()) return dirs;
    for (std::size_t i = 1; i < data_dir.size(); ++i)
        if (data_dir[i] == '/' || data_dir[i] == '\\') dirs.push_back(data_dir.substr(0, i));
    dirs.push_back(data_dir);
    return dirs;
}

// The text of a field, which must end within its array.
std::string field(const char* f, std::size_t cap) {
    const void* nul = std::memchr(f, '\0', cap);
    FUZZ_CHECK(nul != nullptr);
    return std::string(f, static_cast<const char*>(nul) - f);
}

std::string g_work;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"IDENTITY_DATA_DIR", "IDENTITY_PORT", "IDENTITY_ADMIN_SECRET",
                             "IDENTITY_BASE_URL", "IDENTITY_JWKS_FILE", "HTTP_HOST"})
        ::unsetenv(name);
    g_work = scratch_dir("config");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    const Expected want = expected_config(file);

    InDirectory here(g_work);
    write_whole_file("config.json", file);
    id_config cfg;
    std::memset(&cfg, 0x5A, sizeof cfg);
    g_made.clear();
    g_recording = true;
    id_get_config(&cfg);
    g_recording = false;

    const std::string data_dir = field(cfg.data_dir, sizeof cfg.data_dir);
    const std::string base_url = field(cfg.base_url, sizeof cfg.base_url);
    const std::string admin_secret = field(cfg.admin_secret, sizeof cfg.admin_secret);
    FUZZ_CHECK(data_dir == want.data_dir);
    FUZZ_CHECK(cfg.port == want.port);
    FUZZ_CHECK(base_url == want.base_url);
    FUZZ_CHECK(admin_secret == want.admin_secret);
    // A trailing "/" survives only from a URL that ended in "//".
    const std::string& given = want.base_url_given;
    FUZZ_CHECK(base_url.empty() || base_url.back() != '/' ||
               (given.size() >= 2 && given.compare(given.size() - 2, 2, "//") == 0));
    FUZZ_CHECK(g_made == expected_dirs(want.data_dir));

    // A data file's path is the data directory joined with its name.
    char path[sizeof cfg.data_dir + 16];
    g_recording = true;
    id_get_file_path("keys.json", path, sizeof path);
    g_recording = false;
    std::string joined = data_dir;
    if (!joined.empty() && joined.back() != '/' && joined.back() != '\\') joined += '/';
    FUZZ_CHECK(std::string(path) == joined + "keys.json");

    g_recording = true;
    g_made.clear();
    check_report(file, cfg);
    g_recording = false;
    FUZZ_CHECK(g_made.empty());  // the report creates nothing
    return 0;
}
