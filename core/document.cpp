// JSON documents of the data directory: strict parsing, the pretty saved form, atomic saves, and
// setting unparseable documents aside. The C interface wraps them for the provider's other
// programs.
#include "core/document.hpp"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/clock.hpp"
#include "core/fileio.hpp"

namespace tarn {

namespace {

// No full-precision number parsing: RapidJSON 1.1.0's full-precision path reads past its table of
// cached powers for some long numbers. The stores' numbers are integers (exact either way).
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag;

// Swallows output: serializing into it only checks that every string is valid UTF-8.
struct NullStream {
    using Ch = char;
    void Put(Ch) {}
    void Flush() {}
};

using ValidatingWriter = rapidjson::Writer<NullStream, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                           rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

// True when the writer takes `v`: every string is valid UTF-8 and every number finite
// (serializing into NullStream checks nothing else).
bool writable(const Value& v) {
    NullStream sink;
    ValidatingWriter check(sink);
    return v.Accept(check);
}

std::string with_suffix(const std::string& path, const char* suffix) {
    std::string s = path + suffix;
    if (s.size() > 1039) s.resize(1039);  // temporary and lock paths live in 1040-byte buffers
    return s;
}

}  // namespace

std::string data_path(std::string_view name) {
    char path[1024];
    id_get_file_path(std::string(name).c_str(), path, sizeof path);
    return path;
}

bool parse_json(std::string_view text, Document& out) {
    out.Parse<kParseFlags>(text.data(), text.size());
    // RapidJSON skips the bytes EF, BB and BF at the start one by one (a byte order mark, or any
    // part of one), takes a NUL byte for the end of the text (so "{}\0junk" would pass), stores
    // an unpaired low surrogate escape ("\udc00") as the bytes ED B0 80, which are not UTF-8, and
    // reads some numbers near the largest double as infinity or NaN: a document that could not
    // be saved again is not one.
    const bool starts_ascii = text.empty() || static_cast<unsigned char>(text[0]) < 0x80;
    if (out.HasParseError() || !starts_ascii || text.find('\0') != std::string_view::npos ||
        !writable(out)) {
        out.SetNull();
        return false;
    }
    return true;
}

bool write_json(const Value& v, bool pretty, std::string& out) {
    if (!writable(v)) return false;
    rapidjson::StringBuffer buf;
    if (pretty) {
        rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buf);
        if (!v.Accept(writer)) return false;
    } else {
        rapidjson::Writer<rapidjson::StringBuffer> writer(buf);
        if (!v.Accept(writer)) return false;
    }
    out.assign(buf.GetString(), buf.GetSize());
    return true;
}

LoadStatus load_document(std::string_view name, Document& out) {
    std::string text;
    switch (read_file(data_path(name).c_str(), text)) {
        case ReadStatus::ok: break;
        case ReadStatus::missing: return LoadStatus::missing;
        case ReadStatus::error: return LoadStatus::unreadable;
    }
    return parse_json(text, out) ? LoadStatus::loaded : LoadStatus::invalid;
}

int save_document(std::string_view name, const Value& root) {
    std::string text;
    if (!write_json(root, true, text)) return -1;
    std::string path = data_path(name);
    return replace_file(path, with_suffix(path, ".tmp"), text) ? 0 : -1;
}

bool set_aside_corrupt(std::string_view name) {
    std::string path = data_path(name);
    std::string base = path + ".corrupt-" + std::to_string(now_seconds());
    // link + unlink instead of rename, so that a copy set aside earlier in the same second is
    // never overwritten.
    for (int i = 0; i < 100; ++i) {
        std::string target = i == 0 ? base : base + "." + std::to_string(i);
        if (io_ops().link(path.c_str(), target.c_str()) == 0) {
            if (::unlink(path.c_str()) != 0) return false;
            sync_parent_dir(path);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool DocumentLock::acquire(std::string_view name, int retries) {
    release();
    return id_lock_acquire_wait(&lock_, std::string(name).c_str(), retries) == 0;
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
        char* out = static_cast<char*>(std::malloc(text.size() + 1));
        if (out) std::memcpy(out, text.c_str(), text.size() + 1);
        return out;
    } catch (...) {
        return nullptr;
    }
}

void id_json_doc_free(id_json_doc* doc) { delete doc; }

void id_free(void* p) { std::free(p); }

}  // extern "C"
