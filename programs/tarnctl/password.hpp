// Passwords for tarnctl: never from an argument (arguments are visible to every user of the
// machine). Either from the controlling terminal with echo off, asked twice, or one line of
// standard input (--password-stdin), for scripts.
#pragma once

#include <string>

namespace tarnctl {

// A password held in memory and wiped when it goes.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string text) : text_(std::move(text)) {}
    Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { other.wipe(); }
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { wipe(); }

    const char* c_str() const { return text_.c_str(); }
    const std::string& str() const { return text_; }

private:
    void wipe();
    std::string text_;
};

// From standard input: the bytes up to the first line feed (or the end), without it. A Refusal
// when there is nothing to read, the line holds a NUL byte, or it runs past 64 KiB.
Secret read_password_stdin();

// From the controlling terminal (/dev/tty) with echo off: `prompt`, then, when `confirm` is
// given, that prompt and a second reading that must match. The terminal's settings are put back
// on every path, also when the program is interrupted. A Refusal when there is no terminal, the
// input ends, or the two readings differ.
Secret read_password_tty(const char* prompt, const char* confirm);

}  // namespace tarnctl
