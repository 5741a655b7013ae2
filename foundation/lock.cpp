// Advisory document locks: an open-file-description write lock on byte 0 of "<document>.lock".
// Such a lock belongs to the open file, not the process, so a second acquire in the same process
// contends like any other, closing an unrelated descriptor never drops it, and the kernel frees
// it when the holder dies.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_foundation.h"
#include "tarn_cgi.h"

namespace {

bool lock_byte0(int fd, short type) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

void sleep_5ms() {
    struct timespec left = {0, 5 * 1000 * 1000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

namespace tarn {

bool lock_file(id_lock* lock, const std::string& lock_path, int retries) {
    std::memset(lock, 0, sizeof *lock);
    lock->handle = -1;
    tarn_strlcpy(lock->path, lock_path.c_str(), sizeof lock->path);
    int fd = io_ops().open(lock->path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    for (int attempt = 0;; ++attempt) {
        if (lock_byte0(fd, F_WRLCK)) {
            lock->handle = fd;
            lock->held = 1;
            return true;
        }
        if (errno == EINTR) continue;
        if ((errno != EAGAIN && errno != EACCES) || attempt >= retries) break;
        sleep_5ms();
    }
    ::close(fd);
    return false;
}

}  // namespace tarn

extern "C" {

int id_lock_acquire_wait(id_lock* lock, const char* name, int retries) {
    if (!lock) return -1;
    std::memset(lock, 0, sizeof *lock);
    lock->handle = -1;
    if (!name) return -1;
    try {
        return tarn::lock_file(lock, tarn::data_path(name) + ".lock", retries) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int id_lock_acquire(id_lock* lock, const char* name) { return id_lock_acquire_wait(lock, name, ID_LOCK_RETRIES); }

int id_lock_release(id_lock* lock) {
    if (!lock || !lock->held) return 0;
    lock_byte0(lock->handle, F_UNLCK);
    int closed = ::close(lock->handle) == 0 ? 1 : 0;
    lock->handle = -1;
    lock->held = 0;
    return closed;
}

}  // extern "C"
