#include "metadata/json_value.h"

#include <cstdint>

#include <ombrel/text.h>

namespace ombrel::platform {
namespace {

class Parser {
public:
    Parser(std::string_view text, int maxDepth) : text_(text), depth_(maxDepth) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        if (!Value(value, 0))
            return std::nullopt;
        Space();
        if (at_ != text_.size())
            return std::nullopt;
        return value;
    }

private:
    void Space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }
    bool Take(char c) {
        Space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word, JsonValue& value, JsonValue::Kind kind) {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        value.kind = kind;
        value.text = word;
        return true;
    }

    bool Hex4(uint32_t& code) {
        if (text_.size() - at_ < 4)
            return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text_[at_++];
            code <<= 4;
            if (c >= '0' && c <= '9')
                code |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                code |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                code |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    bool String(std::string& out) {
        if (!Take('"'))
            return false;
        while (at_ < text_.size()) {
            auto c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_ == text_.size())
                return false;
            char escape = text_[at_++];
            switch (escape) {
            case '"':
            case '\\':
            case '/':
                out += escape;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t code = 0;
                if (!Hex4(code))
                    return false;
                if (code >= 0xD800 && code < 0xDC00) {
                    uint32_t low = 0;
                    if (text_.substr(at_, 2) != "\\u")
                        return false;
                    at_ += 2;
                    if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF)
                        return false;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    return false;
                }
                AppendUtf8(out, code);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    bool Number(JsonValue& value) {
        size_t start = at_;
        auto digits = [&] {
            size_t first = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
                ++at_;
            return at_ > first;
        };
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        if (!digits())
            return false;
        if (at_ < text_.size() && text_[at_] == '.' && (++at_, !digits()))
            return false;
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-'))
                ++at_;
            if (!digits())
                return false;
        }
        value.kind = JsonValue::Kind::Number;
        value.text = text_.substr(start, at_ - start);
        return true;
    }

    bool Value(JsonValue& value, int depth) {
        Space();
        if (at_ == text_.size() || depth > depth_)
            return false;
        switch (text_[at_]) {
        case '"':
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        case '{': {
            ++at_;
            value.kind = JsonValue::Kind::Object;
            if (Take('}'))
                return true;
            do {
                std::string key;
                if (!String(key) || !Take(':'))
                    return false;
                value.keys.push_back(std::move(key));
                value.items.emplace_back();
                if (!Value(value.items.back(), depth + 1))
                    return false;
            } while (Take(','));
            return Take('}');
        }
        case '[': {
            ++at_;
            value.kind = JsonValue::Kind::Array;
            if (Take(']'))
                return true;
            do {
                value.items.emplace_back();
                if (!Value(value.items.back(), depth + 1))
                    return false;
            } while (Take(','));
            return Take(']');
        }
        case 't':
            return Word("true", value, JsonValue::Kind::Bool);
        case 'f':
            return Word("false", value, JsonValue::Kind::Bool);
        case 'n':
            return Word("null", value, JsonValue::Kind::Null);
        default:
            return Number(value);
        }
    }

    std::string_view text_;
    size_t at_ = 0;
    int depth_;
};

} // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
    if (kind != Kind::Object)
        return nullptr;
    for (size_t i = 0; i < keys.size() && i < items.size(); ++i)
        if (keys[i] == key)
            return &items[i];
    return nullptr;
}

std::optional<JsonValue> ParseJson(std::string_view text, int maxDepth) {
    return Parser(text, maxDepth).Document();
}

} // namespace ombrel::platform
