// Snapshots of documents: a parse made before an operation takes the lock, reused under the lock
// when the document has not changed in between.
#include <string>

#include "core/document.hpp"
#include "core/fileio.hpp"

namespace tarn {

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
    std::string text;
    switch (read_file(file.path.c_str(), text)) {
        case ReadStatus::ok: break;
        case ReadStatus::missing: return LoadStatus::missing;
        case ReadStatus::error: return LoadStatus::unreadable;
    }
    // The same bytes parse to the same document, whatever happened to the file in between.
    if (snap.status == LoadStatus::loaded && text == snap.text) {
        out.Swap(snap.doc);
        snap.status = LoadStatus::missing;  // the parse has been handed on
        snap.text.clear();
        return LoadStatus::loaded;
    }
    return parse_json(text, out) ? LoadStatus::loaded : LoadStatus::invalid;
}

}  // namespace tarn
