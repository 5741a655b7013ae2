// Where tarnctl works and as whom. The configuration is read once, first, through the library's
// report (which creates nothing); the data directory is --data-dir when given, else the
// configuration's. Both it and the published key set are then pinned, as absolute paths in the
// environment every library call reads, so that every call of one run sees the same places,
// whoever tarnctl becomes and whatever it may read then. Run as root on a data directory that
// another user owns (the server's), tarnctl becomes that user before it touches a file, so that
// whatever it writes the server can read.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

#include "tarnctl/command.hpp"
#include "tarnctl/output.hpp"

namespace tarnctl {

struct Workplace {
    std::string data_dir;         // absolute
    bool from_option = false;     // given with --data-dir
    bool exists = false;          // the data directory existed when tarnctl started
    std::string acting_as;        // the user tarnctl became, "" when it stayed who it was
    std::string config_report;    // the library's configuration report, read before anything else
};

// Reads the configuration, settles the data directory (`option`: the --data-dir value, if given),
// pins it, checks it for `access` and, as root, becomes its owner. A Refusal when the directory
// cannot serve: not a directory, missing for a command that only reads, not readable (or
// writable, for a command that changes) by the user tarnctl acts as, or the change of user fails.
Workplace settle_workplace(const std::optional<std::string>& option, Access access);

// The workplace of this run (valid once settle_workplace has returned).
const Workplace& workplace();

// Reads the whole file `path` (a link is not followed); false with errno set when it cannot.
bool read_whole(const std::string& path, std::string& out);

// A Refusal unless each of `documents` in the data directory is missing or parses: the library
// lists a store it cannot read as empty, and a command that shows records must not print "no
// users" over a users.json that is there but broken.
void require_readable(std::initializer_list<const char*> documents);

}  // namespace tarnctl
