// The five HTML special bytes and their entities, shared by the stream and buffer escapers.
#pragma once

#include <string_view>

namespace tarn {

// The entity that replaces `c`, or an empty view when `c` is written as it is.
constexpr std::string_view html_entity(char c) {
    switch (c) {
        case '"': return "&quot;";
        case '&': return "&amp;";
        case '\'': return "&#39;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        default: return {};
    }
}

}  // namespace tarn
