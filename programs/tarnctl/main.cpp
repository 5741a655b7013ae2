// tarnctl: the operator's tool. One program with subcommands over the library's C interface:
// every rule it applies is the library's, so the tool and the provider's programs cannot
// disagree. See `tarnctl --help`.
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnctl/command.hpp"
#include "tarnctl/workplace.hpp"

namespace tarnctl {
namespace {

constexpr const char* kGlobalOptions =
    "options of every command:\n"
    "  --data-dir DIR  the data directory (else the configuration's: IDENTITY_DATA_DIR, else\n"
    "                  \"data_dir\" of config.json in the working directory, else ./data)\n"
    "  --json          print one JSON document on standard output instead of text\n"
    "  --help          this help\n";

const std::vector<OptionDef> kPasswordOptions = {{"password-stdin", false, false}};

std::string command_name(const Command& c) {
    std::string name = c.group;
    if (*c.verb) name += std::string(name.empty() ? "" : " ") + c.verb;
    return name;
}

void print_program_help(std::FILE* out) {
    std::fprintf(out, "usage: tarnctl COMMAND [ARGUMENTS] [--data-dir DIR] [--json]\n\ncommands:\n");
    std::size_t w = 0;
    for (const auto& c : commands()) w = std::max(w, command_name(c).size());
    for (const auto& c : commands())
        std::fprintf(out, "  %-*s  %s\n", static_cast<int>(w), command_name(c).c_str(), c.summary);
    std::fprintf(out, "\n%s\n`tarnctl COMMAND --help` describes a command. Exit status: 0 done, 1 refused or\n"
                      "failed (nothing changed), 2 a usage error.\n", kGlobalOptions);
}

void print_group_usage(std::FILE* out, std::string_view group) {
    for (const auto& c : commands())
        if (group == c.group) std::fprintf(out, "%s\n", usage_line(c).c_str());
}

void print_command_help(const Command& c) {
    std::printf("%s\n\n%s\n\n%s", usage_line(c).c_str(), c.description, kGlobalOptions);
}

bool is_group(std::string_view word) {
    for (const auto& c : commands())
        if (!word.empty() && word == c.group) return true;
    return false;
}

const Command* find_command(std::string_view group, std::string_view verb) {
    for (const auto& c : commands())
        if (group == c.group && verb == c.verb) return &c;
    return nullptr;
}

// One argument after the global options are taken out: a word, or an option "--name" with the
// value given as "--name=value" (a value given as the next argument is that next word).
struct Token {
    bool is_option = false;
    std::string text;                  // the word, or the option's name
    std::optional<std::string> value;  // an option's "=value"
};

struct Invocation {
    std::vector<Token> tokens;
    std::optional<std::string> data_dir;
    bool json = false;
    bool help = false;

    bool word(std::size_t i) const { return i < tokens.size() && !tokens[i].is_option; }
};

// Splits the command line: the global options (anywhere), other options, words; after "--"
// everything is a word.
Invocation split(int argc, char** argv) {
    Invocation inv;
    bool words_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (words_only || a.size() < 2 || a[0] != '-') {
            inv.tokens.push_back({false, std::string(a), std::nullopt});
            continue;
        }
        if (a == "--") {
            words_only = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            inv.help = true;
            continue;
        }
        if (a.substr(0, 2) != "--") throw UsageError("unknown option " + std::string(a));
        std::string name(a.substr(2));
        std::optional<std::string> value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "json") {
            if (value) throw UsageError("--json takes no value");
            inv.json = true;
        } else if (name == "data-dir") {
            if (!value) {
                if (i + 1 >= argc) throw UsageError("--data-dir needs a directory");
                value = argv[++i];
            }
            if (inv.data_dir) throw UsageError("--data-dir is given twice");
            inv.data_dir = value;
        } else {
            inv.tokens.push_back({true, name, value});
        }
    }
    return inv;
}

// The arguments of `c` from the tokens after its name.
Args parse_args(const Command& c, const Invocation& inv, std::size_t first) {
    Args args;
    args.json = inv.json;
    for (std::size_t i = first; i < inv.tokens.size(); ++i) {
        const Token& t = inv.tokens[i];
        if (!t.is_option) {
            args.positional.push_back(t.text);
            continue;
        }
        const OptionDef* known = nullptr;
        for (const auto& o : c.options)
            if (t.text == o.name) known = &o;
        if (!known) throw UsageError("unknown option --" + t.text);
        std::optional<std::string> value = t.value;
        if (known->takes_value && !value) {
            if (!inv.word(i + 1)) throw UsageError("--" + t.text + " needs a value");
            value = inv.tokens[++i].text;
        }
        if (!known->takes_value && value) throw UsageError("--" + t.text + " takes no value");
        auto& slot = args.options[t.text];
        if (!slot.empty() && !known->repeatable) throw UsageError("--" + t.text + " is given twice");
        slot.push_back(value.value_or(""));
    }
    if (args.positional.size() < c.min_positional) throw UsageError("missing arguments");
    if (args.positional.size() > c.max_positional)
        throw UsageError("unexpected argument '" + args.positional[c.max_positional] + "'");
    return args;
}

int run(int argc, char** argv) {
    const Command* c = nullptr;
    std::string group;
    try {
        Invocation inv = split(argc, argv);
        std::size_t first = 0;
        if (inv.word(0) && is_group(inv.tokens[0].text)) {
            group = inv.tokens[0].text;
            if (inv.word(1)) c = find_command(group, inv.tokens[1].text);
            if (!c) {
                if (inv.help && !inv.word(1)) {
                    print_group_usage(stdout, group);
                    return kDone;
                }
                throw UsageError(inv.word(1) ? "unknown command '" + group + " " + inv.tokens[1].text + "'"
                                             : "'" + group + "' needs a command");
            }
            first = 2;
        } else if (inv.word(0)) {
            c = find_command("", inv.tokens[0].text);
            if (!c) throw UsageError("unknown command '" + inv.tokens[0].text + "'");
            first = 1;
        } else if (inv.help) {
            print_program_help(stdout);
            return kDone;
        } else {
            throw UsageError("a command is needed");
        }
        if (inv.help) {
            print_command_help(*c);
            return kDone;
        }
        Args args = parse_args(*c, inv, first);
        settle_workplace(inv.data_dir, c->access);
        return c->run(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tarnctl: %s\n", e.what());
        if (c) {
            std::fprintf(stderr, "%s\n", usage_line(*c).c_str());
        } else if (!group.empty()) {
            print_group_usage(stderr, group);
        } else {
            std::fprintf(stderr, "usage: tarnctl COMMAND [ARGUMENTS] [--data-dir DIR] [--json] (tarnctl --help lists the commands)\n");
        }
        return kUsage;
    } catch (const Refusal& e) {
        std::fprintf(stderr, "tarnctl: %s\n", e.what());
        return kRefused;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarnctl: out of memory\n");
        return kRefused;
    }
}

}  // namespace

std::optional<std::string> Args::value(std::string_view name) const {
    auto it = options.find(name);
    if (it == options.end() || it->second.empty()) return std::nullopt;
    return it->second.front();
}

const std::vector<std::string>& Args::values(std::string_view name) const {
    static const std::vector<std::string> none;
    auto it = options.find(name);
    return it == options.end() ? none : it->second;
}

std::string usage_line(const Command& c) {
    std::string line = "usage: tarnctl " + command_name(c);
    if (*c.synopsis) line += std::string(" ") + c.synopsis;
    return line;
}

long long parse_count(std::string_view name, std::string_view text, long long min, long long max) {
    long long v = 0;
    bool ok = !text.empty() && text.size() <= 18;
    for (char ch : text) {
        if (ch < '0' || ch > '9') ok = false;
        v = v * 10 + (ch - '0');
    }
    if (!ok || v < min || v > max)
        throw UsageError("--" + std::string(name) + " takes a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + std::string(text) + "'");
    return v;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"", "check", "",
         "the configuration, the data directory and its documents, the keys: every problem",
         "Prints the effective configuration and where each value came from (default, config.json,\n"
         "environment), whether config.json exists and is sound, the data directory's owner and mode\n"
         "and every file's mode, whether each document parses (and the .corrupt-* copies beside it),\n"
         "and the signing keys (how many, which is active, how many are usable). Changes nothing.\n"
         "Each problem found is one line; the exit status is 1 when there is one.",
         {}, 0, 0, Access::inspects, check},
        {"", "config", "[NAME]", "the effective configuration and where each value came from",
         "Prints each setting (data_dir, port, base_url, admin_secret, jwks_file) with its value and\n"
         "where it came from (default, config.json, environment), and every problem of config.json;\n"
         "the exit status is 1 when there is one. With NAME, prints that setting's value when it is\n"
         "configured (in config.json or the environment) and nothing when it is left at its default,\n"
         "for scripts. The admin secret is never printed.",
         {}, 0, 1, Access::none, config},
        {"keys", "list", "", "the signing keys",
         "Lists the signing keys: identifier, status (active, retired), creation time and whether the\n"
         "key is usable. Key material is never printed.",
         {}, 0, 0, Access::reads, keys_list},
        {"keys", "rotate", "", "retire the active key and make a fresh one active",
         "Retires the active signing key and makes a fresh one active; retired keys stay published\n"
         "until pruned, so tokens they signed still verify. Refused when eight keys are kept: prune\n"
         "first.",
         {}, 0, 0, Access::changes, keys_rotate},
        {"keys", "prune", "--max-age SECONDS [--dry-run]", "remove retired keys older than an age",
         "Removes the retired keys created more than SECONDS ago (never the active one). With\n"
         "--dry-run, lists what would go and changes nothing.",
         {{"max-age", true, false}, {"dry-run", false, false}}, 0, 0, Access::changes, keys_prune},
        {"users", "add", "USERNAME [--email ADDRESS] [--role owner|admin|user] [--password-stdin]",
         "create a user",
         "Creates a user. The password is read from the terminal without echo, twice, or as one line\n"
         "of standard input with --password-stdin; never from an argument. The first user of a data\n"
         "directory is its owner, whatever --role says; later users are \"user\" unless --role says\n"
         "otherwise.",
         {{"email", true, false}, {"role", true, false}, {"password-stdin", false, false}}, 1, 1, Access::changes,
         users_add},
        {"users", "list", "", "every user",
         "Lists the users: identifier, username, email, role, creation and last sign-in times.", {}, 0, 0,
         Access::reads, users_list},
        {"users", "show", "USERNAME", "one user",
         "Shows one user (found by username, exactly, else ignoring ASCII case). Password hashes are\n"
         "never printed.",
         {}, 1, 1, Access::reads, users_show},
        {"users", "passwd", "USERNAME [--password-stdin]", "set a user's password",
         "Sets a user's password, read as for `users add`. Sessions and refresh tokens stay; end them\n"
         "with `tarnctl tokens revoke --user USERNAME`.",
         kPasswordOptions, 1, 1, Access::changes, users_passwd},
        {"users", "delete", "USERNAME [--force]", "delete a user and end its sessions and tokens",
         "Deletes a user: its sessions, codes and refresh tokens end first. The last administrator is\n"
         "kept unless --force is given.",
         {{"force", false, false}}, 1, 1, Access::changes, users_delete},
        {"clients", "add", "NAME --redirect-uri URI [--redirect-uri URI ...] [--scope SCOPES] [--public]",
         "register a client",
         "Registers a client with up to eight redirect URIs (each checked by the library's rule) and\n"
         "its scopes (\"openid profile\" when not given). A confidential client gets a secret, printed\n"
         "here once and never again; --public makes a client without one (it must use PKCE).",
         {{"redirect-uri", true, true}, {"scope", true, false}, {"public", false, false}}, 1, 1, Access::changes,
         clients_add},
        {"clients", "list", "", "every client (secrets masked)",
         "Lists the clients: identifier, name, type, the first characters of the secret, scopes and\n"
         "redirect URIs.",
         {}, 0, 0, Access::reads, clients_list},
        {"clients", "show", "CLIENT_ID", "one client (secret masked)",
         "Shows one client with every redirect URI; the secret only by its first characters.", {}, 1, 1,
         Access::reads, clients_show},
        {"clients", "delete", "CLIENT_ID", "delete a client",
         "Deletes a client. Its codes, tokens and consents stay until they expire or are swept.", {}, 1, 1,
         Access::changes, clients_delete},
        {"tokens", "list", "[--user USERNAME]", "sessions and refresh tokens (masked)",
         "Lists the sessions and active refresh tokens, every one masked (its first and last\n"
         "characters), and how many exchanged tokens are remembered; --user keeps one user's.",
         {{"user", true, false}}, 0, 0, Access::reads, tokens_list},
        {"tokens", "revoke", "TOKEN | --user USERNAME | --family TOKEN", "end refresh tokens or a user's sessions",
         "Ends one active refresh token (given whole, or masked as `tokens list` shows it when that\n"
         "names one token); with --user, every refresh token and session of the user; with\n"
         "--family, every token of the family of TOKEN (any token of it, active or exchanged).",
         {{"user", true, false}, {"family", true, false}}, 0, 1, Access::changes, tokens_revoke},
        {"consents", "list", "", "the consents users gave",
         "Lists the consents: user, client, granted scopes and when.", {}, 0, 0, Access::reads, consents_list},
        {"consents", "revoke", "USERNAME CLIENT_ID", "withdraw a consent",
         "Withdraws the consent USERNAME gave CLIENT_ID: the next authorization asks again.", {}, 2, 2,
         Access::changes, consents_revoke},
        {"audit", "list", "[--max N]", "the newest audit events",
         "Lists the newest audit events first, at most N (200 when not given).", {{"max", true, false}}, 0, 0,
         Access::reads, audit_list},
        {"audit", "prune", "--keep N", "keep only the newest N audit events",
         "Removes the oldest audit events until N remain.", {{"keep", true, false}}, 0, 0, Access::changes,
         audit_prune},
        {"", "sweep", "", "remove what can no longer be used, store by store",
         "Removes what can no longer be used, and prints how many of each: expired sessions, codes\n"
         "and refresh tokens, exchanged tokens of ended families, deletion marks past their hold,\n"
         "the grants and consents of users that no longer exist, revoked token identifiers past\n"
         "their expiry, sign-in records that can no longer change a decision. Safe to run from cron\n"
         "while the provider serves: each store changes under its own lock.",
         {}, 0, 0, Access::changes, sweep},
    };
    return table;
}

}  // namespace tarnctl

int main(int argc, char** argv) {
    try {
        return tarnctl::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarnctl: %s\n", e.what());
        return tarnctl::kRefused;
    }
}
