// The published key set: the configured public file (jwks_file) that the web server can serve
// as it is, holding byte for byte what the jwks program answers. Every change of keys.json writes
// it before it returns, under the keys.json lock; and a process that loads the keys and finds the
// file missing or holding another key set puts it right, so that a change made by a program that
// was not told of the file is mended by the next one that is, before it signs anything.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/config.hpp"
#include "foundation/fileio.hpp"
#include "keys/key_store.hpp"

namespace tarn::keys {

bool published_body(KeyTable& t, std::string& out) {
    char* keys = jwks_array(t);
    if (!keys) return false;
    out = "{\"keys\":";
    out += keys;
    out += "}\n";
    std::free(keys);
    return true;
}

namespace {

// Far above eight keys' set (about 4 KiB): a larger file is not one this system wrote.
constexpr off_t kMaxPublishedSize = 1 << 20;

// Reads the published file as a plain file only: whatever else sits at the path (a FIFO, whose
// read would wait for a writer while the keys.json lock is held, a device, a file far too large
// for a key set) is unreadable, and is replaced like a stale file.
PublishedFile::State read_published(const std::string& path, std::string& text) {
    text.clear();
    FileDescriptor fd(io_ops().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
    if (!fd) return errno == ENOENT ? PublishedFile::State::missing : PublishedFile::State::unreadable;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxPublishedSize)
        return PublishedFile::State::unreadable;
    char buf[8192];
    for (;;) {
        const ssize_t n = io_ops().read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return PublishedFile::State::unreadable;
        if (n == 0) return PublishedFile::State::present;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > static_cast<std::size_t>(kMaxPublishedSize)) return PublishedFile::State::unreadable;
    }
}

}  // namespace

PublishedFile::PublishedFile() : path(config::jwks_file()) {
    if (path.empty()) return;
    state = read_published(path, text);
    if (state != State::present) text.clear();
}

bool PublishedFile::write(std::string_view body) const {
    return replace_file(path, path + ".tmp", body, 0644);
}

bool PublishedFile::restore() const {
    if (state == State::present) return write(text);
    // It was missing: without it the server asks the program, which answers from keys.json.
    return io_ops().unlink(path.c_str()) == 0 || errno == ENOENT;
}

void publish_loaded(KeyTable& t) {
    const PublishedFile file;
    if (!file.configured()) return;
    std::string body;
    if (!published_body(t, body)) return;
    if (file.state == PublishedFile::State::present && file.text == body) return;
    // A stale file that cannot be rewritten goes, so that the server falls back to the program.
    if (!file.write(body)) io_ops().unlink(file.path.c_str());
}

}  // namespace tarn::keys
