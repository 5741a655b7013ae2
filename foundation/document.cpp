// JSON documents of the data directory: strict parsing, the pretty saved form, atomic saves, and
// setting unparseable documents aside. The C interface wraps them for the provider's other
// programs.
#include "foundation/document.hpp"

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/clock.hpp"
#include "foundation/fileio.hpp"
#include "foundation/json_read.hpp"
#include "foundation/utf8.hpp"
#include "id_foundation.h"

namespace tarn {

void* JsonHeap::Malloc(std::size_t size) {
    if (size == 0) return nullptr;  // as RapidJSON's own allocator: nothing to hand out
    void* p = std::malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}

void* JsonHeap::Realloc(void* original, std::size_t, std::size_t new_size) {
    if (new_size == 0) {
        std::free(original);
        return nullptr;
    }
    void* p = std::realloc(original, new_size);
    if (!p) throw std::bad_alloc();  // `original` is still allocated and still its owner's
    return p;
}

void JsonHeap::Free(void* p) { std::free(p); }

namespace {

// No full-precision number parsing: RapidJSON 1.1.0's full-precision path reads past its table of
// cached powers for some long numbers. The stores' numbers are integers (exact either way).
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag;

// True when the writer can write `v` and a reader would read it back: every string and member
// name well-formed UTF-8, every number finite. Documents are at most kMaxJsonDepth deep (parsed
// ones by the reader's bound, built ones by their code), so the walk's recursion is bounded.
bool writable(const Value& v) {
    switch (v.GetType()) {
        case rapidjson::kStringType:
            return utf8::valid(json::text(v));
        case rapidjson::kNumberType:
            return !v.IsDouble() || std::isfinite(v.GetDouble());
        case rapidjson::kArrayType:
            for (const Value& el : v.GetArray())
                if (!writable(el)) return false;
            return true;
        case rapidjson::kObjectType:
            for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it)
                if (!utf8::valid(json::text(it->name)) || !writable(it->value)) return false;
            return true;
        default:
            return true;
    }
}

std::string with_suffix(const std::string& path, const char* suffix) {
    std::string s = path + suffix;
    if (s.size() > 1039) s.resize(1039);  // temporary and lock paths live in 1040-byte buffers
    return s;
}

// The document as a handler of the reader's events, refusing to open an array or object deeper
// than kMaxJsonDepth. The reader descends one call per level, so the bound also bounds its
// recursion: a text of a million "[" is refused at level 129, not by a stack overflow.
class DepthLimitedHandler {
public:
    explicit DepthLimitedHandler(Document& doc) : doc_(doc) {}
    bool Null() { return doc_.Null(); }
    bool Bool(bool b) { return doc_.Bool(b); }
    bool Int(int i) { return doc_.Int(i); }
    bool Uint(unsigned u) { return doc_.Uint(u); }
    bool Int64(std::int64_t i) { return doc_.Int64(i); }
    bool Uint64(std::uint64_t u) { return doc_.Uint64(u); }
    bool Double(double d) { return doc_.Double(d); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) { return doc_.RawNumber(s, n, copy); }
    bool String(const char* s, rapidjson::SizeType n, bool copy) { return doc_.String(s, n, copy); }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) { return doc_.Key(s, n, copy); }
    bool StartObject() { return ++depth_ <= kMaxJsonDepth && doc_.StartObject(); }
    bool EndObject(rapidjson::SizeType n) { --depth_; return doc_.EndObject(n); }
    bool StartArray() { return ++depth_ <= kMaxJsonDepth && doc_.StartArray(); }
    bool EndArray(rapidjson::SizeType n) { --depth_; return doc_.EndArray(n); }

private:
    Document& doc_;
    int depth_ = 0;
};

}  // namespace

std::string data_path(std::string_view name) {
    char path[1024];
    id_get_file_path(std::string(name).c_str(), path, sizeof path);
    return path;
}

bool parse_json(std::string_view text, Document& out) {
    out.SetNull();
    bool parsed = false;
    auto read = [&](Document& doc) {
        rapidjson::MemoryStream bytes(text.data(), text.size());
        rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> in(bytes);
        JsonReader reader;
        DepthLimitedHandler handler(doc);
        parsed = !reader.Parse<kParseFlags>(in, handler).IsError();
        return parsed;
    };
    out.Populate(read);
    // RapidJSON skips the bytes EF, BB and BF at the start one by one (a byte order mark, or any
    // part of one), takes a NUL byte for the end of the text (so "{}\0junk" would pass), stores
    // an unpaired low surrogate escape ("\udc00") as the bytes ED B0 80, which are not UTF-8, and
    // reads some numbers near the largest double as infinity or NaN: a document that could not
    // be saved again is not one.
    const bool starts_ascii = text.empty() || static_cast<unsigned char>(text[0]) < 0x80;
    if (!parsed || !starts_ascii || text.find('\0') != std::string_view::npos ||
        !writable(out)) {
        out.SetNull();
        return false;
    }
    return true;
}

bool write_json(const Value& v, bool pretty, std::string& out) {
    if (!writable(v)) return false;
    JsonBuffer buf;
    if (pretty) {
        JsonPrettyWriter writer(buf);
        if (!v.Accept(writer)) return false;
    } else {
        JsonWriter<> writer(buf);
        if (!v.Accept(writer)) return false;
    }
    out.assign(buf.GetString(), buf.GetSize());
    return true;
}

char* heap_text(std::string_view text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (!out) return nullptr;
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return out;
}

LoadStatus load_document(const DocFile& file, Document& out) {
    std::string text;
    switch (read_file(file.path.c_str(), text)) {
        case ReadStatus::ok: break;
        case ReadStatus::missing: return LoadStatus::missing;
        case ReadStatus::error: return LoadStatus::unreadable;
    }
    return parse_json(text, out) ? LoadStatus::loaded : LoadStatus::invalid;
}

int save_document(const DocFile& file, const Value& root) {
    std::string text;
    if (!write_json(root, true, text)) return -1;
    return replace_file(file.path, with_suffix(file.path, ".tmp"), text) ? 0 : -1;
}

SetAside::SetAside(const DocFile& file) {
    const std::string& path = file.path;
    std::string base = path + ".corrupt-" + std::to_string(now_seconds());
    // link, not rename: the document stays in place, and a copy kept earlier in the same second
    // is never overwritten.
    for (int i = 0; i < 100; ++i) {
        std::string target = i == 0 ? base : base + "." + std::to_string(i);
        if (io_ops().link(path.c_str(), target.c_str()) == 0) {
            copy_ = std::move(target);
            return;
        }
        if (errno != EEXIST) return;
    }
}

SetAside::~SetAside() {
    if (!copy_.empty()) io_ops().unlink(copy_.c_str());
}

bool DocumentLock::acquire(const DocFile& file, int retries) {
    release();
    return lock_file(&lock_, with_suffix(file.path, ".lock"), retries);
}

}  // namespace tarn

extern "C" {

id_json_doc* id_load_json_file(const char* name) {
    if (!name) return nullptr;
    try {
        auto* doc = new id_json_doc;
        if (tarn::load_document(name, doc->doc) == tarn::LoadStatus::loaded) return doc;
        delete doc;
    } catch (...) {
    }
    return nullptr;
}

int id_save_json_file(const char* name, const id_json_doc* doc) {
    if (!name || !doc) return -1;
    try {
        return tarn::save_document(name, doc->doc);
    } catch (...) {
        return -1;
    }
}

id_json_doc* id_json_doc_parse(const char* text, size_t len) {
    if (!text) return nullptr;
    try {
        auto* doc = new id_json_doc;
        if (tarn::parse_json(std::string_view(text, len), doc->doc)) return doc;
        delete doc;
    } catch (...) {
    }
    return nullptr;
}

char* id_json_doc_write(const id_json_doc* doc, int pretty) {
    if (!doc) return nullptr;
    try {
        std::string text;
        if (!tarn::write_json(doc->doc, pretty != 0, text)) return nullptr;
        return tarn::heap_text(text);
    } catch (...) {
        return nullptr;
    }
}

void id_json_doc_free(id_json_doc* doc) { delete doc; }

void id_free(void* p) { std::free(p); }

}  // extern "C"
