// CoreFoundation strings. Constant ones (framework keys) are constant-initialised, so they are
// usable from any other file's static initialisers.
#pragma once

#include "Object.h"

#include <functional>
#include <string_view>

struct __CFString : compat::Object {
    constexpr explicit __CFString(std::string_view content, bool immortal = true)
        : Object(compat::kStringType, immortal), text(content) {}

    bool equals(const Object& other) const override {
        return other.typeId() == compat::kStringType &&
               static_cast<const __CFString&>(other).text == text;
    }
    CFHashCode hash() const override { return std::hash<std::string_view>()(text); }

    std::string_view text;  // zero-terminated
};
