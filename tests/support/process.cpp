#include "support/process.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tarn::test {

namespace {

int exit_status_of(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Captured capture_stdout(const std::function<void()>& fn) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        fn();
        std::fflush(stdout);
        ::_exit(0);
    }
    ::close(fds[1]);
    Captured c{{}, -1};
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) != 0) {
        if (n > 0) c.out.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    c.exit_status = exit_status_of(pid);
    return c;
}

std::vector<int> run_together(int n, const std::function<int(int index)>& fn) {
    int start[2];
    if (::pipe(start) != 0) throw std::runtime_error("pipe");
    std::fflush(stdout);
    std::fflush(stderr);
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        pid_t pid = ::fork();
        if (pid < 0) throw std::runtime_error("fork");
        if (pid == 0) {
            ::close(start[1]);
            char c;
            while (::read(start[0], &c, 1) < 0) {
            }  // end of file: every sibling is forked
            ::close(start[0]);
            ::_exit(fn(i) & 0xFF);
        }
        pids.push_back(pid);
    }
    ::close(start[0]);
    ::close(start[1]);  // releases them all at once
    std::vector<int> statuses;
    for (pid_t pid : pids) statuses.push_back(exit_status_of(pid));
    return statuses;
}

Child::Child(const std::function<void()>& fn) {
    int ready[2], go[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0) throw std::runtime_error("pipe");
    std::fflush(stdout);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        fn();
        char c = 'r';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(go[0], &c, 1);  // until finish() writes or the parent goes away
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    ready_fd_ = ready[0];
    go_fd_ = go[1];
}

Child::~Child() {
    if (pid_ > 0) kill();
    if (ready_fd_ >= 0) ::close(ready_fd_);
    if (go_fd_ >= 0) ::close(go_fd_);
}

void Child::wait_ready() {
    char c;
    if (::read(ready_fd_, &c, 1) != 1) throw std::runtime_error("child died before it was ready");
}

int Child::finish() {
    char c = 'g';
    (void)!::write(go_fd_, &c, 1);
    int status = exit_status_of(pid_);
    pid_ = -1;
    return status;
}

void Child::kill() {
    ::kill(pid_, SIGKILL);
    exit_status_of(pid_);
    pid_ = -1;
}

}  // namespace tarn::test
