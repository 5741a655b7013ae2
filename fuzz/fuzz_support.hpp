// What the fuzz targets share: a check that aborts (libFuzzer and the corpus replay both report
// an abort as a failure), a reader that splits one input into parts, and scratch directories.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond)                                                      \
    do {                                                                      \
        if (!(cond)) ::tarn::fuzz::check_failed(__FILE__, __LINE__, #cond);   \
    } while (0)

namespace tarn::fuzz {

[[noreturn]] inline void check_failed(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

// Reads one input front to back. Past the end every read gives zero or empty.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size)
        : p_(reinterpret_cast<const char*>(data)), left_(size) {}

    std::uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return static_cast<std::uint8_t>(*p_++);
    }
    // The bytes before the next `sep` (the separator is consumed), or all that is left.
    std::string_view until(char sep) {
        const void* hit = left_ ? std::memchr(p_, sep, left_) : nullptr;
        std::size_t n = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - p_) : left_;
        std::string_view part(p_, n);
        p_ += n;
        left_ -= n;
        if (hit) {
            ++p_;
            --left_;
        }
        return part;
    }
    std::string_view rest() {
        std::string_view part(p_, left_);
        p_ += left_;
        left_ = 0;
        return part;
    }

private:
    const char* p_;
    std::size_t left_;
};

// A heap buffer of exactly `cap` bytes, filled with `fill`: a write at or past the capacity is a
// heap overflow that AddressSanitizer reports.
class ExactBuffer {
public:
    explicit ExactBuffer(std::size_t cap, unsigned char fill = 0xA5)
        : data_(new unsigned char[cap == 0 ? 1 : cap]), cap_(cap), fill_(fill) {
        std::memset(data_, fill, cap == 0 ? 1 : cap);
    }
    ExactBuffer(const ExactBuffer&) = delete;
    ExactBuffer& operator=(const ExactBuffer&) = delete;
    ~ExactBuffer() { delete[] data_; }

    unsigned char* bytes() { return data_; }
    char* chars() { return reinterpret_cast<char*>(data_); }
    std::size_t cap() const { return cap_; }
    // True when bytes [from, cap) still hold the fill.
    bool untouched_from(std::size_t from) const {
        for (std::size_t i = from; i < cap_; ++i)
            if (data_[i] != fill_) return false;
        return true;
    }

private:
    unsigned char* data_;
    std::size_t cap_;
    unsigned char fill_;
};

// Capacities worth trying for an output of `need` bytes, picked by one input byte: every small
// value (0 included) and the ones around `need`.
inline std::size_t pick_capacity(std::uint8_t sel, std::size_t need) {
    switch (sel % 4) {
        case 0: return sel / 4;                                   // 0 .. 63
        case 1: return need;                                      // exactly enough
        case 2: return need + 1 + sel / 4;                        // more than enough
        default: return need > sel / 4 ? need - sel / 4 - 1 : 0;  // a little short
    }
}

// A scope list as a record of `cap` bytes holds it: up to its first NUL, and when that does not
// fit, cut before the name the cut would fall in (names are separated by spaces, tabs, commas).
inline std::string scope_list_in_record(std::string_view list, std::size_t cap) {
    list = list.substr(0, list.find('\0'));
    if (list.size() <= cap - 1) return std::string(list);
    std::size_t keep = 0;  // the prefix up to the last separator that lies within cap - 1 bytes
    for (std::size_t i = 0; i <= cap - 1; ++i)
        if (list[i] == ' ' || list[i] == '\t' || list[i] == ',') keep = i;
    return std::string(list.substr(0, keep));
}

namespace detail {
inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}
inline std::vector<std::string>& scratch_dirs() {
    static std::vector<std::string> dirs;
    return dirs;
}
inline void remove_scratch_dirs() {
    for (const std::string& d : scratch_dirs()) ::nftw(d.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
}  // namespace detail

// A fresh, empty directory under $TMPDIR (or /tmp), removed with its content when the process
// exits normally. Aborts when it cannot be created.
inline std::string scratch_dir(const char* tag) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarn-fuzz-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) check_failed(__FILE__, __LINE__, "mkdtemp");
    if (detail::scratch_dirs().empty()) std::atexit(detail::remove_scratch_dirs);
    detail::scratch_dirs().push_back(buf.data());
    return buf.data();
}

// Writes `data` to `path`, replacing it. Aborts on failure.
inline void write_whole_file(const std::string& path, std::string_view data) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) check_failed(__FILE__, __LINE__, "fopen for writing");
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size())
        check_failed(__FILE__, __LINE__, "fwrite");
    if (std::fclose(f) != 0) check_failed(__FILE__, __LINE__, "fclose");
}

// Runs the rest of a scope in `dir` and returns to the previous working directory afterwards, so
// that libFuzzer's own relative paths keep working.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : saved_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (saved_ < 0 || ::chdir(dir.c_str()) != 0) check_failed(__FILE__, __LINE__, "chdir");
    }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;
    ~InDirectory() {
        if (::fchdir(saved_) != 0) check_failed(__FILE__, __LINE__, "fchdir");
        ::close(saved_);
    }

private:
    int saved_;
};

}  // namespace tarn::fuzz
