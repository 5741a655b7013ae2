// Snapshots of documents: a parse made before an operation takes the lock, reused under the lock
// when the document still holds the same bytes.

#include <cerrno>
#include <string>
#include <string_view>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"

namespace tarn {
namespace {

// Whether the file at `path` holds exactly `known`: read in pieces and compared as it goes, so
// that confirming an unchanged document allocates nothing of its size. Stops at the first
// difference.
ReadStatus holds_exactly(const std::string& path, std::string_view known, bool& same) {
    same = false;
    FileDescriptor fd;
    if (const ReadStatus opened = open_for_reading(path.c_str(), fd); opened != ReadStatus::ok) return opened;
    char buf[65536];
    for (;;) {
        const ssize_t n = io_ops().read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return ReadStatus::error;
        }
        if (n == 0) break;
        const std::string_view piece(buf, static_cast<std::size_t>(n));
        if (known.substr(0, piece.size()) != piece) return ReadStatus::ok;
        known.remove_prefix(piece.size());
    }
    same = known.empty();
    return ReadStatus::ok;
}

}  // namespace

LoadStatus load_snapshot(const DocFile& file, Snapshot& snap) {
    snap.text.clear();
    snap.doc.SetNull();
    switch (read_file(file.path.c_str(), snap.text)) {
        case ReadStatus::ok:
            snap.status = parse_json(snap.text, snap.doc) ? LoadStatus::loaded : LoadStatus::invalid;
            break;
        case ReadStatus::missing:
            snap.status = LoadStatus::missing;
            break;
        case ReadStatus::error:
            snap.status = LoadStatus::unreadable;
            break;
    }
    return snap.status;
}

LoadStatus reload_snapshot(const DocFile& file, Snapshot& snap, Document& out) {
    const bool was_loaded = snap.status == LoadStatus::loaded;
    bool same = false;
    const ReadStatus read = was_loaded ? holds_exactly(file.path, snap.text, same) : ReadStatus::ok;
    // The snapshot is consumed: its bytes are released before the caller goes on to save.
    snap.status = LoadStatus::missing;
    std::string().swap(snap.text);
    switch (read) {
        case ReadStatus::ok: break;
        case ReadStatus::missing: return LoadStatus::missing;
        case ReadStatus::error: return LoadStatus::unreadable;
    }
    // The same bytes parse to the same document, whatever happened to the file in between.
    if (same) {
        out.Swap(snap.doc);
        return LoadStatus::loaded;
    }
    // The caller holds the lock, so this read sees the document its change will replace.
    return load_document(file, out);
}

}  // namespace tarn
