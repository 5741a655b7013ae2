// Shared by the client registry and client authentication.
#pragma once

#include <cstddef>

#include "tarn_cgi.h"

namespace tarn::clients {

// A caller's message buffer: given when both its pointer and its capacity are non-zero, emptied
// when this is made, and then holding the one message set (cut to fit).
class Message {
public:
    Message(char* buf, std::size_t cap) : buf_(cap ? buf : nullptr), cap_(cap) {
        if (buf_) buf_[0] = '\0';
    }
    void set(const char* text) {
        if (buf_) tarn_strlcpy(buf_, text, cap_);
    }

private:
    char* buf_;
    std::size_t cap_;
};

}  // namespace tarn::clients
