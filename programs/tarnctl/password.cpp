#include "tarnctl/password.hpp"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <array>
#include <cstdio>

#include "tarnctl/command.hpp"

namespace tarnctl {
namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

// The terminal whose echo is off, and its settings before, for the signal handler.
int g_tty = -1;
struct termios g_saved;

void restore_and_reraise(int sig) {
    if (g_tty >= 0) tcsetattr(g_tty, TCSAFLUSH, &g_saved);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Echo off on `fd` for the life of the object, back on when it goes (and on SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGTSTP: the handler restores the settings first).
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd, &saved_) != 0) throw Refusal("cannot read the terminal's settings");
        g_saved = saved_;
        g_tty = fd;
        struct sigaction sa {};
        sa.sa_handler = restore_and_reraise;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &sa, &old_[i]);
        struct termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
        quiet.c_lflag |= ECHONL;
        if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) {
            restore();
            throw Refusal("cannot turn the terminal's echo off");
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    ~EchoOff() { restore(); }

private:
    static constexpr std::array<int, 5> kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

    void restore() {
        tcsetattr(fd_, TCSAFLUSH, &saved_);
        g_tty = -1;
        for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
    }

    int fd_;
    struct termios saved_ {};
    std::array<struct sigaction, 5> old_{};
};

// Reads from `fd` up to a line feed (not kept) or the end. `ended` tells whether the input ended
// before any byte and line feed.
std::string read_line(int fd, bool& ended) {
    std::string line;
    ended = false;
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Refusal(std::string("cannot read the password: ") + strerror(errno));
        if (n == 0) {
            ended = line.empty();
            return line;
        }
        if (c == '\n') return line;
        if (c == '\0') throw Refusal("the password holds a NUL byte");
        if (line.size() >= kMaxLine) throw Refusal("the password line is longer than 64 KiB");
        line.push_back(c);
    }
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

void say(int fd, const char* text) {
    std::size_t left = strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        wipe();
        text_ = std::move(other.text_);
        other.wipe();
    }
    return *this;
}

void Secret::wipe() {
    if (!text_.empty()) explicit_bzero(text_.data(), text_.size());
    text_.clear();
}

Secret read_password_stdin() {
    bool ended = false;
    Secret s(read_line(STDIN_FILENO, ended));
    if (ended) throw Refusal("no password on standard input");
    return s;
}

Secret read_password_tty(const char* prompt, const char* confirm) {
    Fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0) throw Refusal("no terminal to read the password from (give it with --password-stdin)");
    auto ask = [&tty](const char* text) {
        EchoOff quiet(tty.get());
        say(tty.get(), text);
        bool ended = false;
        Secret s(read_line(tty.get(), ended));
        if (ended) throw Refusal("no password was typed");
        return s;
    };
    Secret first = ask(prompt);
    if (confirm) {
        Secret second = ask(confirm);
        if (first.str() != second.str()) throw Refusal("the two passwords differ; nothing was changed");
    }
    return first;
}

}  // namespace tarnctl
