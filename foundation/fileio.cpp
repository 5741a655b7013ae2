#include "foundation/fileio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tarn {

namespace {

int sys_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t sys_read(int fd, void* buf, size_t n) { return ::read(fd, buf, n); }
ssize_t sys_write(int fd, const void* buf, size_t n) { return ::write(fd, buf, n); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_close(int fd) { return ::close(fd); }
int sys_rename(const char* from, const char* to) { return ::rename(from, to); }
int sys_link(const char* from, const char* to) { return ::link(from, to); }
int sys_unlink(const char* path) { return ::unlink(path); }

constexpr IoOps kSystemIo{sys_open, sys_read, sys_write, sys_fsync, sys_close, sys_rename, sys_link, sys_unlink};
IoOps g_io = kSystemIo;

}  // namespace

IoOps& io_ops() { return g_io; }
const IoOps& system_io() { return kSystemIo; }

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() { close(); }

bool FileDescriptor::close() {
    if (fd_ < 0) return true;
    int fd = release();
    return io_ops().close(fd) == 0;  // never retried: the descriptor is gone either way
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = io_ops().write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

ReadStatus open_for_reading(const char* path, FileDescriptor& fd) {
    // Documents are only ever put in place by rename and never removed, so a second open finds
    // a file that turned up; one that still fails leaves a link whose target is gone, or a name
    // that changes under every look, and either is an error.
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        fd = FileDescriptor(io_ops().open(path, O_RDONLY | O_CLOEXEC, 0));
        if (fd) return ReadStatus::ok;
        if (errno != ENOENT) return ReadStatus::error;
        struct stat st;
        if (::lstat(path, &st) != 0) return ReadStatus::missing;
        if (attempt == kAttempts) return ReadStatus::error;
    }
}

ReadStatus read_file(const char* path, std::string& out) {
    out.clear();
    FileDescriptor fd;
    if (const ReadStatus opened = open_for_reading(path, fd); opened != ReadStatus::ok) return opened;
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        out.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        ssize_t n = io_ops().read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return ReadStatus::error;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return ReadStatus::ok;
}

bool sync_parent_dir(const std::string& path) {
    std::string dir = ".";
    if (auto slash = path.find_last_of('/'); slash != std::string::npos) {
        dir = slash == 0 ? "/" : path.substr(0, slash);
    }
    FileDescriptor fd(io_ops().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!fd) return false;
    return io_ops().fsync(fd.get()) == 0;
}

bool replace_file(const std::string& path, const std::string& tmp_path, std::string_view data, mode_t mode) {
    // The caller holds the document's lock, so a temporary file left by a crashed writer is
    // stale and ours to replace.
    io_ops().unlink(tmp_path.c_str());
    FileDescriptor fd(io_ops().open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd) return false;
    // A mode wider than the umask lets through (a file others read) is set as asked.
    bool ok = (mode == 0600 || ::fchmod(fd.get(), mode) == 0) && write_all(fd.get(), data) &&
              io_ops().fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok || io_ops().rename(tmp_path.c_str(), path.c_str()) != 0) {
        io_ops().unlink(tmp_path.c_str());
        return false;
    }
    // The rename is the commit: every process now reads the new document. The directory is
    // flushed so that the new entry survives a power loss, but a failure to flush it cannot undo
    // the change, and reporting one would lead callers to repeat a change that took effect.
    sync_parent_dir(path);
    return true;
}

}  // namespace tarn
