// File primitives shared by every store: an owning descriptor, whole-file reads, checked writes,
// and the one I/O seam through which tests inject faults into saves.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace tarn {

// A move-only owner of a file descriptor; the destructor closes it silently, close() reports.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor (through the seam); true when close succeeded. Never retried.
    bool close();

private:
    int fd_ = -1;
};

// Every file system call the stores make (documents, temporary files, lock files, the log),
// replaceable by tests to fail the N-th call of an operation, whichever it is.
struct IoOps {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void* buf, size_t n);
    ssize_t (*write)(int fd, const void* buf, size_t n);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*link)(const char* from, const char* to);
    int (*unlink)(const char* path);
};
IoOps& io_ops();           // the ops in force
const IoOps& system_io();  // the real system calls

// Writes all of `data`, retrying on EINTR and short writes. False on any error.
bool write_all(int fd, std::string_view data);

enum class ReadStatus { ok, missing, error };
// Opens `path` for reading into `fd`: ok; missing when nothing at all stands at that name; an
// error otherwise, a link whose target is gone included (a store behind a link to an unmounted
// volume must not be taken for an empty one and replaced). An open that fails for want of the
// file while a file stands at the name when that is checked (another process renamed the first
// copy into place in between) is tried again, so that a file being created reads as missing or
// as the new file, never as an error.
ReadStatus open_for_reading(const char* path, FileDescriptor& fd);
// Reads the whole file at `path` into `out`.
ReadStatus read_file(const char* path, std::string& out);

// Writes `data` to a fresh temporary file beside `path` (mode `mode`, whatever the umask), fsyncs
// and closes it, renames it over `path` and fsyncs the directory. True once the rename has
// succeeded (the directory flush is attempted, but its failure cannot take the change back). On
// any failure before that the temporary file is removed, `path` is left as it was, and false is
// returned.
bool replace_file(const std::string& path, const std::string& tmp_path, std::string_view data, mode_t mode = 0600);

// fsync of the directory that holds `path`.
bool sync_parent_dir(const std::string& path);

}  // namespace tarn
