// The freedesktop key files (desktop entries, icon theme indexes, GTK and
// KDE settings): "[Group]" lines, then "Key=Value" lines.
#pragma once

#include <string>
#include <string_view>

namespace ombrel::platform {

// Calls visit(group, key, value) for every key of every group, in order;
// blanks round the key and before the value are dropped, comments skipped.
template <typename Visit> void ForEachKeyFileEntry(std::string_view text, Visit&& visit) {
    std::string_view group;
    while (!text.empty()) {
        size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.remove_suffix(1);
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            group = line.back() == ']' ? line.substr(1, line.size() - 2) : std::string_view();
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view key = line.substr(0, equals);
        while (!key.empty() && key.back() == ' ')
            key.remove_suffix(1);
        std::string_view value = line.substr(equals + 1);
        while (!value.empty() && value.front() == ' ')
            value.remove_prefix(1);
        visit(group, key, value);
    }
}

// The value of one key in one group; empty when it is not there.
inline std::string KeyFileValue(std::string_view text, std::string_view group,
                                std::string_view key) {
    std::string found;
    ForEachKeyFileEntry(text, [&](std::string_view g, std::string_view k, std::string_view v) {
        if (g == group && k == key)
            found = v;
    });
    return found;
}

} // namespace ombrel::platform
