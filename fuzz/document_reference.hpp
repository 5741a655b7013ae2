// Reading parsed documents the plain way, for the references of the fuzz targets: members by a
// linear search, strings with their full length (a NUL inside them included).
#pragma once

#include <string_view>

#include "core/document.hpp"

namespace tarn::fuzz {

inline std::string_view text_of(const tarn::Value& s) { return std::string_view(s.GetString(), s.GetStringLength()); }

// The first member of `obj` named `name`, or nullptr.
inline const tarn::Value* first_member(const tarn::Value& obj, std::string_view name) {
    for (const auto& m : obj.GetObject())
        if (text_of(m.name) == name) return &m.value;
    return nullptr;
}

}  // namespace tarn::fuzz
