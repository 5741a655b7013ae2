// Removing members and elements of a document in place while keeping the order of the rest, in
// one pass however many go. (RapidJSON's EraseMember and Erase move the whole tail once per item
// removed, which turns pruning a large store into quadratic work.)
#pragma once

#include <string_view>

#include "foundation/document.hpp"
#include "foundation/json_read.hpp"

namespace tarn::json {

// The first member `name` of `obj` for changing, or nullptr (also when `obj` is not an object).
inline Value* member(Value& obj, std::string_view name) {
    return const_cast<Value*>(member(static_cast<const Value&>(obj), name));
}

// Removes every member of the object `obj` for which `drop(name, value)` holds; `drop` is called
// once per member, in order.
template <class Drop>
void erase_members_if(Value& obj, Drop&& drop) {
    auto kept = obj.MemberBegin();
    for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
        if (drop(static_cast<const Value&>(it->name), static_cast<const Value&>(it->value))) continue;
        if (kept != it) {  // RapidJSON's assignment moves: `it` is left Null
            kept->name = it->name;
            kept->value = it->value;
        }
        ++kept;
    }
    if (kept != obj.MemberEnd()) obj.EraseMember(kept, obj.MemberEnd());
}

// Removes every element of the array `arr` for which `drop(element)` holds; `drop` is called once
// per element, in order.
template <class Drop>
void erase_elements_if(Value& arr, Drop&& drop) {
    auto kept = arr.Begin();
    for (auto it = arr.Begin(); it != arr.End(); ++it) {
        if (drop(static_cast<const Value&>(*it))) continue;
        if (kept != it) *kept = *it;
        ++kept;
    }
    if (kept != arr.End()) arr.Erase(kept, arr.End());
}

}  // namespace tarn::json
