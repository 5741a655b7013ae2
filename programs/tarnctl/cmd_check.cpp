// tarnctl check: what an operator looks at first. Every judgement is the library's where the
// library has one (the configuration's sources and problems, what parses, which keys are
// usable, whether the published key set is current); tarnctl adds what only the file system
// tells (owners and modes). It changes nothing: not even a missing data directory is made.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "id_foundation.h"
#include "id_keys.h"
#include "tarnctl/command.hpp"
#include "tarnctl/output.hpp"
#include "tarnctl/workplace.hpp"

namespace tarnctl {
namespace {

// The documents of a data directory, as the stores name them.
constexpr const char* kDocuments[] = {"keys.json",     "users.json",          "clients.json",
                                      "tokens.json",   "consents.json",       "revoked.json",
                                      "audit_log.json", "login_attempts.json", "login_attempts_ip.json"};

std::string octal(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

std::string owner_of(const struct stat& st) {
    const struct passwd* pw = ::getpwuid(st.st_uid);
    const struct group* gr = ::getgrgid(st.st_gid);
    return (pw ? std::string(pw->pw_name) : std::to_string(st.st_uid)) + ":" +
           (gr ? std::string(gr->gr_name) : std::to_string(st.st_gid));
}

struct Report {
    rapidjson::Document doc;
    std::vector<std::string> problems;

    Report() { doc.SetObject(); }
    rapidjson::Document::AllocatorType& a() { return doc.GetAllocator(); }
    JsonValue text(const std::string& s) { return JsonValue(s.c_str(), static_cast<rapidjson::SizeType>(s.size()), a()); }
    void problem(std::string line) { problems.push_back(std::move(line)); }
};

void check_configuration(Report& r, const Listing& config) {
    const auto& c = config.doc();
    JsonValue copy(c, r.a());
    // The data directory given on the command line is pinned in the environment the library
    // reads; say where it really came from.
    if (workplace().from_option && copy.IsObject() && copy.HasMember("values") && copy["values"].IsArray())
        for (auto& v : copy["values"].GetArray())
            if (str_member(v, "name") == "data_dir" && v.HasMember("source") && v.HasMember("value")) {
                v["source"].SetString("--data-dir", r.a());
                v["value"].SetString(workplace().data_dir.c_str(), r.a());
            }
    r.doc.AddMember("configuration", copy, r.a());
    auto problems = c.FindMember("problems");
    if (problems != c.MemberEnd() && problems->value.IsArray())
        for (const auto& p : problems->value.GetArray())
            if (p.IsString()) r.problem(p.GetString());
}

struct Entry {
    std::string name;
    struct stat st;
};

std::vector<Entry> list_directory(const std::string& dir, Report& r) {
    std::vector<Entry> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        r.problem("cannot list the data directory " + dir + ": " + strerror(errno));
        return out;
    }
    while (const struct dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        Entry entry{name, {}};
        if (::lstat((dir + "/" + name).c_str(), &entry.st) == 0) out.push_back(entry);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const Entry& x, const Entry& y) { return x.name < y.name; });
    return out;
}

void check_data_directory(Report& r, const std::vector<Entry>& entries) {
    const std::string& dir = workplace().data_dir;
    JsonValue d(rapidjson::kObjectType);
    d.AddMember("path", r.text(dir), r.a());
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        d.AddMember("exists", false, r.a());
        r.doc.AddMember("data_directory", d, r.a());
        r.problem("the data directory " + dir + " does not exist");
        return;
    }
    d.AddMember("exists", true, r.a());
    d.AddMember("owner", r.text(owner_of(st)), r.a());
    d.AddMember("mode", r.text(octal(st.st_mode)), r.a());
    if (st.st_mode & 077)
        r.problem("the data directory " + dir + " is open to other users (mode " + octal(st.st_mode) +
                  "); it should be 0700");
    JsonValue files(rapidjson::kArrayType);
    for (const auto& e : entries) {
        JsonValue f(rapidjson::kObjectType);
        f.AddMember("name", r.text(e.name), r.a());
        f.AddMember("mode", r.text(octal(e.st.st_mode)), r.a());
        f.AddMember("owner", r.text(owner_of(e.st)), r.a());
        f.AddMember("size", static_cast<int64_t>(e.st.st_size), r.a());
        files.PushBack(f, r.a());
        if (!S_ISREG(e.st.st_mode)) {
            r.problem(printable(e.name) + " in the data directory is not a plain file");
        } else if (e.st.st_mode & 077) {
            r.problem(printable(e.name) + " is open to other users (mode " + octal(e.st.st_mode) + "); it should be 0600");
        }
        if (e.st.st_uid != st.st_uid)
            r.problem(printable(e.name) + " belongs to " + owner_of(e.st) + ", not to the data directory's owner " +
                      owner_of(st));
    }
    d.AddMember("files", files, r.a());
    r.doc.AddMember("data_directory", d, r.a());
}

void check_documents(Report& r, const std::vector<Entry>& entries) {
    const std::string& dir = workplace().data_dir;
    JsonValue docs(rapidjson::kArrayType);
    for (const char* name : kDocuments) {
        JsonValue d(rapidjson::kObjectType);
        d.AddMember("name", rapidjson::StringRef(name), r.a());
        std::string text;
        const std::string path = dir + "/" + name;
        const char* state = "missing";
        if (read_whole(path, text)) {
            id_json_doc* doc = id_json_doc_parse(text.data(), text.size());
            state = doc ? "parses" : "does not parse";
            if (!doc) r.problem(std::string(name) + " does not parse: the stores cannot read it");
            id_json_doc_free(doc);
        } else if (errno != ENOENT) {
            state = "unreadable";
            r.problem(std::string("cannot read ") + name + ": " + strerror(errno));
        }
        d.AddMember("state", rapidjson::StringRef(state), r.a());
        JsonValue aside(rapidjson::kArrayType);
        const std::string prefix = std::string(name) + ".corrupt-";
        for (const auto& e : entries)
            if (e.name.compare(0, prefix.size(), prefix) == 0) aside.PushBack(r.text(e.name), r.a());
        d.AddMember("set_aside", aside, r.a());
        docs.PushBack(d, r.a());
    }
    r.doc.AddMember("documents", docs, r.a());
}

void check_keys(Report& r, const Listing& keys) {
    const auto& k = keys.doc();
    JsonValue copy(k, r.a());
    r.doc.AddMember("keys", copy, r.a());
    auto problems = k.FindMember("problems");
    if (problems != k.MemberEnd() && problems->value.IsArray())
        for (const auto& p : problems->value.GetArray())
            if (p.IsString()) r.problem(p.GetString());
}

void print_text(Report& r, const std::vector<Entry>& entries) {
    const auto& doc = r.doc;
    const auto& config = doc["configuration"];
    std::printf("configuration (config.json: %s, %s)\n", printable(str_member(config["config_file"], "path")).c_str(),
                str_member(config["config_file"], "state").c_str());
    Table values({"NAME", "VALUE", "SOURCE"});
    for (const auto& v : config["values"].GetArray())
        values.row({str_member(v, "name"), str_member(v, "value"), str_member(v, "source")});
    values.print();

    const auto& d = doc["data_directory"];
    std::printf("\ndata directory %s", printable(str_member(d, "path")).c_str());
    if (bool_member(d, "exists")) {
        std::printf(" (owner %s, mode %s)\n", printable(str_member(d, "owner")).c_str(), str_member(d, "mode").c_str());
        Table files({"FILE", "MODE", "OWNER", "SIZE"});
        for (const auto& f : d["files"].GetArray())
            files.row({str_member(f, "name"), str_member(f, "mode"), str_member(f, "owner"),
                       std::to_string(int_member(f, "size"))});
        files.print("(empty)");
    } else {
        std::printf(" (missing)\n");
    }
    (void)entries;

    std::printf("\n");
    Table docs({"DOCUMENT", "STATE", "SET ASIDE"});
    for (const auto& e : doc["documents"].GetArray()) {
        std::string aside;
        for (const auto& a : e["set_aside"].GetArray()) aside += (aside.empty() ? "" : " ") + std::string(a.GetString());
        docs.row({str_member(e, "name"), str_member(e, "state"), aside.empty() ? "-" : aside});
    }
    docs.print();

    const auto& k = doc["keys"];
    std::printf("\nkeys (keys.json %s): %d, %d usable, active %s\n", str_member(k, "state").c_str(),
                static_cast<int>(k["keys"].Size()), static_cast<int>(int_member(k, "usable")),
                str_member(k, "active").empty() ? "none" : printable(str_member(k, "active")).c_str());
    const auto& published = k["jwks_file"];
    if (!str_member(published, "path").empty())
        std::printf("published key set %s: %s\n", printable(str_member(published, "path")).c_str(),
                    str_member(published, "state").c_str());

    if (r.problems.empty()) {
        std::printf("\nno problems found\n");
    } else {
        std::printf("\nproblems:\n");
        for (const auto& p : r.problems) std::printf("%s\n", printable(p).c_str());
    }
}

// A heap copy of `text` for a Listing to own and release.
char* copy_text(const std::string& text) {
    char* p = static_cast<char*>(std::malloc(text.size() + 1));
    if (p) std::memcpy(p, text.c_str(), text.size() + 1);
    return p;
}

std::vector<std::string> problems_of(const Listing& config) {
    std::vector<std::string> out;
    const auto& c = config.doc();
    auto it = c.IsObject() ? c.FindMember("problems") : c.MemberEnd();
    if (c.IsObject() && it != c.MemberEnd() && it->value.IsArray())
        for (const auto& p : it->value.GetArray())
            if (p.IsString()) out.emplace_back(p.GetString(), p.GetStringLength());
    return out;
}

}  // namespace

int config(const Args& args) {
    Listing config(copy_text(workplace().config_report), "configuration report");
    const std::vector<std::string> problems = problems_of(config);
    const auto& values = config.doc()["values"];
    if (!args.positional.empty()) {
        const std::string& name = args.positional[0];
        const JsonValue* found = nullptr;
        for (const auto& v : values.GetArray())
            if (str_member(v, "name") == name) found = &v;
        if (!found) throw UsageError("no setting '" + printable(name) + "' (data_dir, port, base_url, admin_secret, jwks_file)");
        if (!problems.empty()) {
            std::string all;
            for (const auto& p : problems) all += (all.empty() ? "" : "; ") + p;
            throw Refusal("the configuration has problems: " + all);
        }
        if (name == "admin_secret") throw UsageError("the admin secret is not printed");
        if (str_member(*found, "source") != "default") std::printf("%s\n", str_member(*found, "value").c_str());
        return kDone;
    }
    if (args.json) {
        print_json_text(config.text());
    } else {
        std::printf("config.json: %s (%s)\n", printable(str_member(config.doc()["config_file"], "path")).c_str(),
                    str_member(config.doc()["config_file"], "state").c_str());
        Table t({"NAME", "VALUE", "SOURCE"});
        for (const auto& v : values.GetArray())
            t.row({str_member(v, "name"), str_member(v, "value"), str_member(v, "source")});
        t.print();
        for (const auto& p : problems) std::printf("problem: %s\n", printable(p).c_str());
    }
    if (problems.empty()) return kDone;
    std::fprintf(stderr, "tarnctl: the configuration has %zu problem%s\n", problems.size(), problems.size() == 1 ? "" : "s");
    return kRefused;
}

int check(const Args& args) {
    Report r;
    Listing config(copy_text(workplace().config_report), "configuration report");
    check_configuration(r, config);
    const std::vector<Entry> entries =
        workplace().exists ? list_directory(workplace().data_dir, r) : std::vector<Entry>{};
    check_data_directory(r, entries);
    check_documents(r, entries);
    Listing keys(id_keys_inspect_json(), "key report");
    check_keys(r, keys);

    JsonValue problems(rapidjson::kArrayType);
    for (const auto& p : r.problems) problems.PushBack(r.text(p), r.a());
    r.doc.AddMember("problems", problems, r.a());
    if (args.json) {
        print_json(r.doc);
    } else {
        print_text(r, entries);
    }
    if (r.problems.empty()) return kDone;
    std::fprintf(stderr, "tarnctl: check found %zu problem%s\n", r.problems.size(), r.problems.size() == 1 ? "" : "s");
    return kRefused;
}

}  // namespace tarnctl
