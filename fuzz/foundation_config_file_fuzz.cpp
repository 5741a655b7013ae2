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
// mkdir is replaced in this program (the library's calls resolve to the definition below), so a
// data_dir from the input never creates anything on this machine.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/document.hpp"
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

// What a string member sets: its text up to a NUL inside it, cut to cap - 1 bytes.
std::string cut_text(const tarn::Value& v, std::size_t cap) {
    const std::string_view s = text_of(v);
    return std::string(s.substr(0, s.find('\0')).substr(0, cap - 1));
}

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
        if (const tarn::Value* v = first_member(doc, "data_dir"); v && v->IsString())
            e.data_dir = cut_text(*v, sizeof(id_config::data_dir));
        if (const tarn::Value* v = first_member(doc, "port")) {
            if (v->IsInt64()) {
                e.port = static_cast<std::int32_t>(static_cast<std::uint32_t>(v->GetInt64()));
            } else if (v->IsUint64()) {
                e.port = static_cast<std::int32_t>(static_cast<std::uint32_t>(v->GetUint64()));
            }
        }
        if (const tarn::Value* v = first_member(doc, "base_url"); v && v->IsString())
            e.base_url = cut_text(*v, sizeof(id_config::base_url));
        if (const tarn::Value* v = first_member(doc, "admin_secret"); v && v->IsString())
            e.admin_secret = cut_text(*v, sizeof(id_config::admin_secret));
    }
    if (e.base_url.empty()) e.base_url = "http://127.0.0.1:" + std::to_string(e.port);
    e.base_url_given = e.base_url;
    if (e.base_url.back() == '/') e.base_url.pop_back();
    return e;
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
                             "IDENTITY_BASE_URL", "HTTP_HOST"})
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
    return 0;
}
