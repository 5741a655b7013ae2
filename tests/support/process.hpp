// Running a piece of a test in a child process: to capture what it writes to standard output
// and its exit status, or to hold a lock from another process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tarn::test {

struct Captured {
    std::string out;  // everything written to standard output
    int exit_status;  // the exit status, or -1 when the child did not exit normally
};

// Runs `fn` in a forked child whose standard output is a pipe; the child exits 0 after `fn`
// returns (fn may exit by itself).
Captured capture_stdout(const std::function<void()>& fn);

// Forks `n` children that start `fn(index)` together (each waits until all are forked) and
// returns their exit statuses in index order (-1 for a child that did not exit normally). A
// child's exit status is fn's result & 0xFF.
std::vector<int> run_together(int n, const std::function<int(int index)>& fn);

// A forked child that runs `fn` and then waits until it is told to finish or is killed.
class Child {
public:
    explicit Child(const std::function<void()>& fn);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
    void wait_ready();   // returns once `fn` has returned in the child
    int finish();        // lets the child exit; returns its exit status
    void kill();         // SIGKILL, then reaps it
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int ready_fd_ = -1;
    int go_fd_ = -1;
};

}  // namespace tarn::test
