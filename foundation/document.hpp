// JSON documents of the data directory: loading, atomic saving, advisory locks, and the one
// pattern every changing store operation follows ("take the lock, load, change, save, release
// on every path").
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "id_foundation.h"

namespace tarn {

// The heap under every JSON document, text buffer, reader and writer of the library: malloc,
// except that memory running out throws std::bad_alloc instead of handing back null. RapidJSON
// writes through whatever its allocator returns (a copied string, a grown stack), so a null would
// be a crash; the throw unwinds out of RapidJSON to the C interface, where every function catches
// it and fails as documented. Nothing in the library may use RapidJSON's own CrtAllocator.
struct JsonHeap {
    static const bool kNeedFree = true;
    void* Malloc(std::size_t size);
    void* Realloc(void* original, std::size_t original_size, std::size_t new_size);
    static void Free(void* p);
};

using JsonAllocator = rapidjson::MemoryPoolAllocator<JsonHeap>;
using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonAllocator, JsonHeap>;
using Value = rapidjson::GenericValue<rapidjson::UTF8<>, JsonAllocator>;
using JsonReader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, JsonHeap>;
using JsonBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, JsonHeap>;
template <unsigned Flags = rapidjson::kWriteDefaultFlags>
using JsonWriter = rapidjson::Writer<JsonBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, JsonHeap, Flags>;
using JsonPrettyWriter = rapidjson::PrettyWriter<JsonBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, JsonHeap>;

}  // namespace tarn

// The C handle of a document is a RapidJSON document.
struct id_json_doc {
    tarn::Document doc;
};

namespace tarn {

// Full path of `name` in the configured data directory (which this creates when missing),
// cut at 1023 bytes as every path of the data directory is.
std::string data_path(std::string_view name);

// A document of the data directory with its path resolved once: assembling the configuration
// reads config.json and the environment and checks the directory, so an operation does it once,
// not once for its lock, once for its load and once for its save.
struct DocFile {
    explicit DocFile(std::string_view name) : path(data_path(name)) {}
    // The document at the full path `full`, for a read that must not create the data directory.
    static DocFile at(std::string full) {
        DocFile f;
        f.path = std::move(full);
        return f;
    }
    std::string path;  // full path of the document

private:
    DocFile() = default;
};

// The deepest nesting of arrays and objects any parsed text may have. Deeper text is refused
// as invalid, so no parse, write or walk of a document recurses without bound.
inline constexpr int kMaxJsonDepth = 128;

// Strict JSON (no comments, no trailing commas, valid UTF-8, one root, numbers within the range
// of a double, at most kMaxJsonDepth levels of nesting). False when invalid.
bool parse_json(std::string_view text, Document& out);
// Pretty (four-space indent, no final newline) or compact text of `v`; false when a string in it
// is not valid UTF-8.
bool write_json(const Value& v, bool pretty, std::string& out);

// A malloc'ed, NUL-terminated copy of `text` for a C caller to release with id_free (the form
// every listing is handed out in); nullptr when memory runs out.
char* heap_text(std::string_view text);

enum class LoadStatus { loaded, missing, invalid, unreadable };
// Reads and parses document `name` of the data directory.
LoadStatus load_document(const DocFile& file, Document& out);
inline LoadStatus load_document(std::string_view name, Document& out) { return load_document(DocFile(name), out); }
// Saves `root` as document `name` (pretty, atomically, mode 0600). 0 once the new document is in
// place, or -1 with the old file untouched.
int save_document(const DocFile& file, const Value& root);
inline int save_document(std::string_view name, const Value& root) { return save_document(DocFile(name), root); }

// Keeps an unparseable document under "<path>.corrupt-<unix time>" (".N" added when that name is
// taken) before a change replaces it, so that replacing it never destroys it. The copy is a hard
// link: the document stays in place until the save renames the new one over it, so it is never
// missing. Unless keep() is called, the destructor removes the copy again (the change failed and
// the directory is as it was).
class SetAside {
public:
    explicit SetAside(const DocFile& file);
    explicit SetAside(std::string_view name) : SetAside(DocFile(name)) {}
    SetAside(const SetAside&) = delete;
    SetAside& operator=(const SetAside&) = delete;
    ~SetAside();
    bool ok() const { return !copy_.empty(); }  // the copy was made
    void keep() { copy_.clear(); }               // the document was replaced: the copy stays
    const std::string& copy_path() const { return copy_; }

private:
    std::string copy_;
};

// Fills `lock` and takes the lock on the lock file `lock_path` (created 0600), trying once and
// then up to `retries` more times 5 ms apart. False when the file cannot be opened or the lock
// stays held elsewhere.
bool lock_file(id_lock* lock, const std::string& lock_path, int retries);

// An advisory lock on a document, released on every path by the destructor.
class DocumentLock {
public:
    DocumentLock() { lock_.handle = -1; }
    DocumentLock(const DocumentLock&) = delete;
    DocumentLock& operator=(const DocumentLock&) = delete;
    ~DocumentLock() { release(); }

    // Tries once, then up to `retries` more times 5 ms apart. True when held.
    bool acquire(const DocFile& file, int retries = ID_LOCK_RETRIES);
    bool acquire(std::string_view name, int retries = ID_LOCK_RETRIES) { return acquire(DocFile(name), retries); }
    bool held() const { return lock_.held != 0; }
    // Releases now; the result of id_lock_release.
    int release() { return id_lock_release(&lock_); }

private:
    id_lock lock_{};
};

// What a change does with a document that exists but does not parse.
enum class Unreadable {
    fail,       // the operation fails and the file is left as it is
    set_aside,  // the file is renamed aside and the change starts from the empty state
};

// What a change tells the pattern: its result, and whether the document must be saved.
struct Outcome {
    int result;
    bool save;
    static Outcome saved(int result = 0) { return {result, true}; }
    static Outcome unchanged(int result = 0) { return {result, false}; }
};

// The step at which change_document gave up when it returned -1 of its own accord, for the
// operations that report each cause differently (none: the change ran and saved, or chose not to).
enum class ChangeFailure { none, lock, load, save };

// A document as an operation read it without the lock, before costly work that a check of it
// may spare (user creation looks for the username before it hashes the password): the bytes
// read and their parse.
struct Snapshot {
    LoadStatus status = LoadStatus::missing;
    std::string text;  // the bytes read (loaded or invalid)
    Document doc;      // their parse (loaded)
};
// Reads and parses `file` into `snap`; its status.
LoadStatus load_snapshot(const DocFile& file, Snapshot& snap);
// Reads `file` again into `out`. When it still holds the bytes of `snap` (loaded), the snapshot's
// parse is moved into `out` instead of parsing the same bytes twice.
LoadStatus reload_snapshot(const DocFile& file, Snapshot& snap, Document& out);

namespace detail {

// The one lock, load, change, save sequence; `load(doc)` reads the document under the lock.
template <class Load, class Change>
int change_with(const DocFile& file, int retries, Unreadable unreadable, Load&& load, Change&& change,
                ChangeFailure* failure) {
    auto fail = [failure](ChangeFailure step) {
        if (failure) *failure = step;
        return -1;
    };
    if (failure) *failure = ChangeFailure::none;
    DocumentLock lock;
    if (!lock.acquire(file, retries)) return fail(ChangeFailure::lock);
    Document doc;
    std::optional<SetAside> aside;
    bool existed = false;  // from the load, not the content: a document holding null exists
    switch (load(doc)) {
        case LoadStatus::loaded:
            existed = true;
            break;
        case LoadStatus::missing:
            doc.SetNull();
            break;
        case LoadStatus::invalid:
            if (unreadable == Unreadable::fail) return fail(ChangeFailure::load);
            aside.emplace(file);
            if (!aside->ok()) return fail(ChangeFailure::load);
            doc.SetNull();
            break;
        case LoadStatus::unreadable:
            return fail(ChangeFailure::load);
    }
    Outcome outcome = std::forward<Change>(change)(doc, existed);
    if (!outcome.save) return outcome.result;  // an unparseable document stays, its copy goes
    if (save_document(file, doc) != 0) return fail(ChangeFailure::save);
    if (aside) aside->keep();
    return outcome.result;
}

}  // namespace detail

// Takes the lock of `name`, loads it (a missing document is a Null `doc`, `existed` false), runs
// `change(doc, existed)`, saves when the outcome says so, and releases the lock on every path.
// Returns the outcome's result, or -1 when the lock, the load or the save fails (and then names
// the step in `*failure` when given).
template <class Change>
int change_document(std::string_view name, int retries, Unreadable unreadable, Change&& change,
                    ChangeFailure* failure = nullptr) {
    const DocFile file(name);
    return detail::change_with(
        file, retries, unreadable, [&file](Document& doc) { return load_document(file, doc); },
        std::forward<Change>(change), failure);
}

// change_document for a document read into `snapshot` earlier in the same operation: under the
// lock the document is read again, and an unchanged one is not parsed again. The change always
// runs on the document as it is under the lock, so checks made on the snapshot must be repeated
// in it (they cost a walk, not a parse). `snapshot` is consumed. `*failure` as for change_document.
template <class Change>
int change_document(const DocFile& file, Snapshot& snapshot, int retries, Unreadable unreadable,
                    Change&& change, ChangeFailure* failure = nullptr) {
    return detail::change_with(
        file, retries, unreadable,
        [&file, &snapshot](Document& doc) { return reload_snapshot(file, snapshot, doc); },
        std::forward<Change>(change), failure);
}

}  // namespace tarn
