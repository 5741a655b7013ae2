// A bounded heap text for the listings handed out to C callers: appends that do not fit mark it
// failed, and release() then gives NULL, so a listing is either whole or absent.
#pragma once

#include <cstdlib>
#include <cstring>

namespace tarn {

class TextBuffer {
public:
    explicit TextBuffer(std::size_t cap) : data_(static_cast<char*>(std::malloc(cap))), cap_(cap) {
        if (data_) data_[0] = '\0';
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { std::free(data_); }

    void append(const char* s) { append(s, std::strlen(s)); }
    void append(const char* s, std::size_t n) {
        if (!data_ || failed_) return;
        if (n >= cap_ - len_) {  // the NUL must fit as well
            failed_ = true;
            return;
        }
        std::memcpy(data_ + len_, s, n);
        len_ += n;
        data_[len_] = '\0';
    }
    // The text, owned by the caller from now on (free / id_free), or NULL when an append did not
    // fit or memory ran out.
    char* release() {
        if (failed_ || !data_) return nullptr;
        char* p = data_;
        data_ = nullptr;
        return p;
    }

private:
    char* data_;
    std::size_t cap_;
    std::size_t len_ = 0;
    bool failed_ = false;
};

}  // namespace tarn
