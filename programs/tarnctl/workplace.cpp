#include "tarnctl/workplace.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "id_foundation.h"
#include "tarnctl/output.hpp"

namespace tarnctl {
namespace {

Workplace g_workplace;

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) throw Refusal(std::string("cannot find the working directory: ") + strerror(errno));
    std::string out = cwd;
    if (out.back() != '/') out += '/';
    return out + path;
}

// The value of `name` in the library's configuration report.
std::string configured(const Listing& report, const char* name) {
    const auto& doc = report.doc();
    auto values = doc.IsObject() ? doc.FindMember("values") : doc.MemberEnd();
    if (doc.IsObject() && values != doc.MemberEnd() && values->value.IsArray())
        for (const auto& v : values->value.GetArray())
            if (str_member(v, "name") == name) return str_member(v, "value");
    return {};
}

// Becomes the user `uid` (its groups, or `gid` alone when it has no passwd entry), for good.
std::string become(uid_t uid, gid_t gid) {
    errno = 0;
    const struct passwd* pw = ::getpwuid(uid);
    std::string name = pw ? pw->pw_name : std::to_string(uid);
    const gid_t group = pw ? pw->pw_gid : gid;
    if ((pw ? ::initgroups(pw->pw_name, group) : ::setgroups(1, &group)) != 0 || ::setgid(group) != 0 ||
        ::setuid(uid) != 0)
        throw Refusal("cannot act as " + name + ", the owner of the data directory: " + strerror(errno));
    if (::setuid(0) == 0) throw Refusal("cannot give up root to act as " + name);
    return name;
}

}  // namespace

Workplace settle_workplace(const std::optional<std::string>& option, Access access) {
    Workplace w;
    if (option && option->empty()) throw UsageError("--data-dir needs a directory");
    Listing report(id_config_report_json(), "configuration report");
    w.config_report = report.text();
    w.from_option = option.has_value();
    w.data_dir = absolute(option ? *option : configured(report, "data_dir"));
    while (w.data_dir.size() > 1 && w.data_dir.back() == '/') w.data_dir.pop_back();
    // Every library call of this run reads the same places, whoever tarnctl becomes and whether
    // or not it can read config.json then.
    ::setenv("IDENTITY_DATA_DIR", w.data_dir.c_str(), 1);
    if (const std::string jwks = configured(report, "jwks_file"); !jwks.empty())
        ::setenv("IDENTITY_JWKS_FILE", jwks.c_str(), 1);
    if (access == Access::none) {
        g_workplace = w;
        return w;
    }

    struct stat st {};
    if (::stat(w.data_dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw Refusal("the data directory " + w.data_dir + " is not a directory");
        w.exists = true;
        if (::geteuid() == 0 && st.st_uid != 0) w.acting_as = become(st.st_uid, st.st_gid);
    } else if (errno != ENOENT) {
        throw Refusal("cannot read the data directory " + w.data_dir + ": " + strerror(errno));
    } else if (access == Access::reads) {
        throw Refusal("the data directory " + w.data_dir + " does not exist");
    }
    if (w.exists && access != Access::inspects) {
        const int mode = access == Access::changes ? (R_OK | W_OK | X_OK) : (R_OK | X_OK);
        if (::access(w.data_dir.c_str(), mode) != 0)
            throw Refusal("cannot " + std::string(access == Access::changes ? "change" : "read") +
                          " the data directory " + w.data_dir + ": " + strerror(errno));
    }
    g_workplace = w;
    return w;
}

const Workplace& workplace() { return g_workplace; }

bool read_whole(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            errno = e;
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

void require_readable(std::initializer_list<const char*> documents) {
    for (const char* name : documents) {
        std::string text;
        if (!read_whole(g_workplace.data_dir + "/" + name, text)) {
            if (errno == ENOENT) continue;
            throw Refusal(std::string("cannot read ") + name + ": " + strerror(errno));
        }
        id_json_doc* doc = id_json_doc_parse(text.data(), text.size());
        if (!doc)
            throw Refusal(std::string(name) +
                          " does not parse, so nothing in it can be shown (tarnctl check names every problem)");
        id_json_doc_free(doc);
    }
}

}  // namespace tarnctl
