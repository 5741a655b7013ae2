// tarnctl's commands: one table drives dispatch and help, so that a command cannot exist without
// its usage line. A command reads its parsed arguments, calls the library through its C
// interface, and prints one answer. Exit statuses mean one thing each: 0 done, 1 refused or
// failed (one line on standard error, nothing changed), 2 a usage error (with the usage line).
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnctl {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

// A refusal or failure: the command stops, the message is the one line on standard error.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Arguments the command's usage line does not allow.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An option a command takes beyond the global ones: "--name" alone or "--name VALUE"
// ("--name=VALUE" too); a repeatable one collects every value in order.
struct OptionDef {
    const char* name;  // without the dashes
    bool takes_value;
    bool repeatable;
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>, std::less<>> options;
    bool json = false;

    bool flag(std::string_view name) const { return options.find(name) != options.end(); }
    // The value of a single-valued option, if given.
    std::optional<std::string> value(std::string_view name) const;
    // Every value of a repeatable option, in the order given.
    const std::vector<std::string>& values(std::string_view name) const;
};

// What a command does to the data directory, which decides what tarnctl checks first: a
// command that only reads refuses a data directory that does not exist (the library would
// create it); one that changes also needs it writable; check reports whatever it finds; config
// does not look at it.
enum class Access { reads, changes, inspects, none };

struct Command {
    const char* group;        // "users"; "" for a command of its own ("check", "sweep")
    const char* verb;         // "add"; "" when the group is the command
    const char* synopsis;     // the arguments after the command's name
    const char* summary;      // one line for the program's help
    const char* description;  // the command's own help, after its usage line
    std::vector<OptionDef> options;
    std::size_t min_positional;
    std::size_t max_positional;
    Access access;
    int (*run)(const Args&);
};

// The table, in the order of the program's help.
const std::vector<Command>& commands();

// The command's usage line: "usage: tarnctl users add USERNAME ...".
std::string usage_line(const Command& c);

// Parses a number of the option `name` from `text`: decimal digits only, within [min, max];
// else a UsageError naming the option.
long long parse_count(std::string_view name, std::string_view text, long long min, long long max);

// The handlers, one file per group.
int keys_list(const Args&);
int keys_rotate(const Args&);
int keys_prune(const Args&);
int users_add(const Args&);
int users_list(const Args&);
int users_show(const Args&);
int users_passwd(const Args&);
int users_delete(const Args&);
int clients_add(const Args&);
int clients_list(const Args&);
int clients_show(const Args&);
int clients_delete(const Args&);
int tokens_list(const Args&);
int tokens_revoke(const Args&);
int consents_list(const Args&);
int consents_revoke(const Args&);
int audit_list(const Args&);
int audit_prune(const Args&);
int sweep(const Args&);
int check(const Args&);
int config(const Args&);

}  // namespace tarnctl
