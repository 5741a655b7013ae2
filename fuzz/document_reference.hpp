// Reading parsed documents the plain way, for the references of the fuzz targets: members by a
// linear search, strings with their full length (a NUL inside them included).
#pragma once

#include <cmath>
#include <string_view>

#include "foundation/document.hpp"

namespace tarn::fuzz {

inline std::string_view text_of(const tarn::Value& s) { return std::string_view(s.GetString(), s.GetStringLength()); }

// The first member of `obj` named `name`, or nullptr.
inline const tarn::Value* first_member(const tarn::Value& obj, std::string_view name) {
    for (const auto& m : obj.GetObject())
        if (text_of(m.name) == name) return &m.value;
    return nullptr;
}

// Two values alike in every respect a save keeps: type, integers of the same kind and value,
// strings byte for byte, array elements and object members in order (duplicates too). A number
// with a fraction or an exponent is written with at most 17 digits and read back in double
// arithmetic, which is not correctly rounded: it comes back within (17 + 8) * 2^-51 of itself
// (and one subnormal step), as the foundation_json_document target states.
inline bool same_value(const tarn::Value& a, const tarn::Value& b) {
    if (a.GetType() != b.GetType()) return false;
    switch (a.GetType()) {
        case rapidjson::kStringType: return text_of(a) == text_of(b);
        case rapidjson::kNumberType:
            if (a.IsInt64() != b.IsInt64() || a.IsUint64() != b.IsUint64() || a.IsDouble() != b.IsDouble()) return false;
            if (a.IsInt64()) return a.GetInt64() == b.GetInt64();
            if (a.IsUint64()) return a.GetUint64() == b.GetUint64();
            return std::fabs(a.GetDouble() - b.GetDouble()) <= std::fabs(a.GetDouble()) * 25 * 0x1p-51 + 0x1p-1073;
        case rapidjson::kArrayType:
            if (a.Size() != b.Size()) return false;
            for (rapidjson::SizeType i = 0; i < a.Size(); ++i)
                if (!same_value(a[i], b[i])) return false;
            return true;
        case rapidjson::kObjectType: {
            if (a.MemberCount() != b.MemberCount()) return false;
            for (auto i = a.MemberBegin(), j = b.MemberBegin(); i != a.MemberEnd(); ++i, ++j)
                if (text_of(i->name) != text_of(j->name) || !same_value(i->value, j->value)) return false;
            return true;
        }
        default: return true;
    }
}

}  // namespace tarn::fuzz
