// Reading the few members of the host's small JSON texts. A text that does not parse, or whose
// root is not an object, reads like an object without members.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <optional>
#include <string>

namespace jsonfields {

// The parsed text; its root() is null when there is no object to read. Parsed without recursion,
// so that nesting deeper than the stack allows is read like any other text.
class JsonObject {
  public:
    explicit JsonObject(const std::string& text) {
        document_.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    }
    const rapidjson::Value* root() const {
        return !document_.HasParseError() && document_.IsObject() ? &document_ : nullptr;
    }

  private:
    rapidjson::Document document_;
};

// The first member named exactly `key`, or null.
inline const rapidjson::Value* findMember(const rapidjson::Value* object, const char* key) {
    if (object == nullptr) {
        return nullptr;
    }
    const auto member = object->FindMember(key);
    return member == object->MemberEnd() ? nullptr : &member->value;
}

// True only for the JSON literal true.
inline bool readLiteralTrue(const rapidjson::Value* object, const char* key) {
    const rapidjson::Value* value = findMember(object, key);
    return value != nullptr && value->IsTrue();
}

// An integer member: `fallback` when it is missing or not an integer; no value when it is an
// integer outside the signed 32-bit range.
inline std::optional<int32_t> readInt32(const rapidjson::Value* object, const char* key,
                                        int32_t fallback) {
    const rapidjson::Value* value = findMember(object, key);
    if (value == nullptr || !(value->IsInt64() || value->IsUint64())) {
        return fallback;
    }
    if (!value->IsInt()) {
        return std::nullopt;
    }
    return value->GetInt();
}

}  // namespace jsonfields
