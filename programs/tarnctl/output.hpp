// What tarnctl prints: aligned tables with a header line, "name: value" records, times as local
// dates, stored texts made safe for a terminal, and JSON documents on standard output.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnctl {

// `text` as a terminal shows it harmlessly: control characters (C0, DEL, C1) and bytes outside
// a UTF-8 character as \xNN, the backslash as \x5c, so that no stored text can move the cursor,
// clear the screen or forge a line of the output.
std::string printable(std::string_view text);

// Seconds since the Unix epoch as the local date and time "YYYY-MM-DD hh:mm:ss"; "-" for 0.
std::string local_time(int64_t seconds);

// Columns sized to their widest cell (in characters), separated by two blanks; the header line
// first. Every cell goes through printable().
class Table {
public:
    explicit Table(std::vector<std::string> header);
    void row(std::vector<std::string> cells);
    // Writes the table to standard output; an empty table prints `empty` instead (when given).
    void print(std::string_view empty = {}) const;
    std::size_t size() const { return rows_.size(); }

private:
    std::vector<std::vector<std::string>> rows_;  // the header is row 0
};

// "name: value" lines with the names aligned.
class Record {
public:
    void field(std::string name, std::string value);
    void print() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

using JsonValue = rapidjson::Value;
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// Writes one JSON document and a line feed to standard output: `text` as the library gave it.
void print_json_text(std::string_view text);
// The same for a value tarnctl built or took from a listing.
void print_json(const JsonValue& value);

// Reads members of a listing's object leniently: a missing member or one of another type is ""
// or 0, as the library's own readers do.
std::string str_member(const JsonValue& object, const char* name);
int64_t int_member(const JsonValue& object, const char* name);
bool bool_member(const JsonValue& object, const char* name);

// A compact JSON text handed out by the library, parsed and released. A text that does not parse
// (which the library never hands out) is a Refusal naming `what`.
class Listing {
public:
    // Takes ownership of `text` (released with id_free); NULL is a failure of the library.
    Listing(char* text, const char* what);
    const rapidjson::Document& doc() const { return doc_; }
    const std::string& text() const { return text_; }
    rapidjson::Document::AllocatorType& allocator() { return doc_.GetAllocator(); }
    rapidjson::Document& mutable_doc() { return doc_; }

private:
    std::string text_;
    rapidjson::Document doc_;
};

}  // namespace tarnctl
