// JSON as the container engines keep their state in it: read whole into a
// tree, bounded in depth, or not at all.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    std::string text;              // a string's value (UTF-8), a number's or a bool's text
    std::vector<JsonValue> items;  // an array's values, or an object's
    std::vector<std::string> keys; // an object's keys, one to each value

    // An object's value for key (the first one), else null.
    const JsonValue* Find(std::string_view key) const;
};

// The document text holds, when it is one JSON value (RFC 8259) nested at
// most maxDepth deep; nullopt otherwise.
std::optional<JsonValue> ParseJson(std::string_view text, int maxDepth = 64);

} // namespace ombrel::platform
