// The published key set: the configured public file (jwks_file) that the web server can serve
// as it is, holding byte for byte what the jwks program answers. Every change of keys.json writes
// it before it returns, under the keys.json lock; and a process that loads the keys and finds the
// file missing or holding another key set puts it right, so that a change made by a program that
// was not told of the file is mended by the next one that is, before it signs anything.
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

PublishedFile::PublishedFile() : path(config::jwks_file()) {
    if (path.empty()) return;
    switch (read_file(path.c_str(), text)) {
        case ReadStatus::ok: state = State::present; break;
        case ReadStatus::missing: state = State::missing; break;
        case ReadStatus::error: state = State::unreadable; break;
    }
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
