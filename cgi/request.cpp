// CGI request input: the environment readers, the query string lookup with its ring of result
// slots, and the request body, read from the file POST_BODY_FILE names or from standard input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cgi/form_decode.hpp"
#include "cgi/request.hpp"
#include "tarn_cgi.h"

namespace tarn::cgi {
namespace {

constexpr std::size_t kQuerySlotBytes = 4096;

char g_query_slots[kSlots][kQuerySlotBytes];
int g_query_slot = 0;  // the slot used last: the first lookup takes slot 1

// A malloc'ed body under construction; released unless handed out.
class BodyBuffer {
public:
    BodyBuffer() = default;
    BodyBuffer(const BodyBuffer&) = delete;
    BodyBuffer& operator=(const BodyBuffer&) = delete;
    ~BodyBuffer() { std::free(data_); }

    // Room for `bytes` bytes and a NUL after them. False when memory runs out.
    bool reserve(std::size_t bytes) {
        if (bytes + 1 <= cap_) return true;
        char* grown = static_cast<char*>(std::realloc(data_, bytes + 1));
        if (!grown) return false;
        data_ = grown;
        cap_ = bytes + 1;
        return true;
    }
    char* free_space() { return data_ + len_; }
    std::size_t room() const { return cap_ - 1 - len_; }
    std::size_t size() const { return len_; }
    void grow(std::size_t n) { len_ += n; }

    // The body and its NUL, owned by the caller from now on.
    char* release(std::uint64_t* len) {
        data_[len_] = '\0';
        if (len) *len = len_;
        char* p = data_;
        data_ = nullptr;
        return p;
    }

private:
    char* data_ = nullptr;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
};

// The whole content of `fd`, or nullptr when a read fails, it holds more than kMaxBodyBytes or
// memory runs out. A regular file is sized first; anything else (a pipe) is read in blocks
// until its end.
char* read_to_end(int fd, std::uint64_t* len) {
    std::size_t expect = 65536;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_size > static_cast<off_t>(kMaxBodyBytes)) return nullptr;
        expect = static_cast<std::size_t>(st.st_size < 0 ? 0 : st.st_size) + 1;  // + 1: sees the end
    }
    BodyBuffer body;
    if (!body.reserve(expect)) return nullptr;
    for (;;) {
        if (body.room() == 0) {
            if (body.size() > kMaxBodyBytes) return nullptr;
            // Doubling, up to one byte past the limit: reading that byte shows the body is too long.
            if (!body.reserve(std::min(body.size() * 2, kMaxBodyBytes + 1))) return nullptr;
        }
        const ssize_t n = ::read(fd, body.free_space(), body.room());
        if (n < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        if (n == 0) break;
        body.grow(static_cast<std::size_t>(n));
    }
    return body.release(len);
}

// CONTENT_LENGTH as the CGI standard writes it: decimal digits only. 0 for anything else (a
// sign, blanks, trailing text, an empty text) and for a value above kMaxBodyBytes.
std::size_t content_length(const char* text) {
    if (!text || !*text) return 0;
    std::size_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<std::size_t>(*p - '0');
        if (value > kMaxBodyBytes) return 0;
    }
    return value;
}

// Up to CONTENT_LENGTH bytes of standard input (fewer when it ends first).
char* read_stdin(std::uint64_t* len) {
    const std::size_t want = content_length(std::getenv("CONTENT_LENGTH"));
    if (want == 0) return nullptr;
    BodyBuffer body;
    if (!body.reserve(want)) return nullptr;
    // Standard input carries the body byte for byte: there is no text mode to leave on Linux.
    const std::size_t got = std::fread(body.free_space(), 1, want, stdin);
    if (got < want && std::ferror(stdin)) return nullptr;
    body.grow(got);
    return body.release(len);
}

char* read_post(std::uint64_t* len) {
    const char* file = std::getenv("POST_BODY_FILE");
    if (file && *file) {
        const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char* body = read_to_end(fd, len);
            ::close(fd);
            return body;  // a file that opens is the body; standard input is not tried
        }
    }
    return read_stdin(len);
}

}  // namespace

namespace testing {
void reset_query_slots() {
    std::memset(g_query_slots, 0, sizeof g_query_slots);
    g_query_slot = 0;
}
}  // namespace testing

}  // namespace tarn::cgi

using namespace tarn::cgi;

extern "C" {

const char* cgi_env(const char* name, const char* fallback) {
    const char* v = name ? std::getenv(name) : nullptr;
    if (v && *v) return v;
    return fallback ? fallback : "";
}

const char* cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

const char* cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

int cgi_is_post(void) {
    const char* m = std::getenv("REQUEST_METHOD");
    return (m && m[0] == 'P' && m[1] == 'O') ? 1 : 0;
}

const char* cgi_query(const char* name) {
    if (!name || !*name) return "";
    g_query_slot = (g_query_slot + 1) % kSlots;
    char* slot = g_query_slots[g_query_slot];
    std::memset(slot, 0, kQuerySlotBytes);
    const char* query = std::getenv("QUERY_STRING");
    if (!query || !*query) return "";
    return find_form_value(query, name, slot, kQuerySlotBytes) ? slot : "";
}

char* cgi_read_post(uint64_t* len) {
    if (len) *len = 0;
    return read_post(len);
}

}  // extern "C"
