#include "metadata/appstream.h"

#include <vector>

#include <ombrel/text.h>

#include "metadata/xdg.h"

namespace ombrel::platform {
namespace {

// Far more than any application's metadata.
constexpr size_t kMaxDocument = size_t{1} << 20;

// XML's five named entities and character references; anything else is
// kept as written.
std::string Unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t end = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
        if (end == std::string_view::npos || end - i > 10) {
            out += text[i];
            continue;
        }
        std::string_view name = text.substr(i + 1, end - i - 1);
        if (name == "amp")
            out += '&';
        else if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (name.size() > 1 && name[0] == '#') {
            bool hex = name[1] == 'x' || name[1] == 'X';
            unsigned long code = 0;
            bool digits = name.size() > (hex ? 2u : 1u);
            for (char c : name.substr(hex ? 2 : 1)) {
                int value = c >= '0' && c <= '9'          ? c - '0'
                            : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                            : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                          : -1;
                if (value < 0 || code > 0x10FFFF) {
                    digits = false;
                    break;
                }
                code = code * (hex ? 16 : 10) + static_cast<unsigned long>(value);
            }
            if (!digits) {
                out += text[i];
                continue;
            }
            if (code != 0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF))
                AppendUtf8(out, static_cast<uint32_t>(code));
        } else {
            out += text[i];
            continue;
        }
        i = end;
    }
    return out;
}

// Blanks at either end dropped and runs of them made one, as the text reads.
std::string Collapse(const std::string& text) {
    std::string out;
    for (char c : text) {
        bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (blank) {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += c;
        }
    }
    if (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

struct Element {
    std::string name;
    bool translated = false; // an xml:lang attribute
};

// The attribute's value in a tag's text, or nullopt.
std::optional<std::string> Attribute(std::string_view tag, std::string_view name) {
    for (size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
        bool starts = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' || tag[at - 1] == '\n');
        size_t equals = at + name.size();
        while (equals < tag.size() && tag[equals] == ' ')
            ++equals;
        if (!starts || equals >= tag.size() || tag[equals] != '=')
            continue;
        size_t open = tag.find_first_of("\"'", equals);
        if (open == std::string_view::npos)
            return std::nullopt;
        size_t close = tag.find(tag[open], open + 1);
        if (close == std::string_view::npos)
            return std::nullopt;
        return Unescape(tag.substr(open + 1, close - open - 1));
    }
    return std::nullopt;
}

} // namespace

std::optional<PackageInfo> ParseAppStream(std::string_view xml) {
    PackageInfo info;
    std::string name, summary, developer, developerName;
    bool releaseSeen = false;
    bool whole = false; // the component's end was read
    std::vector<Element> open;
    auto path = [&](std::initializer_list<std::string_view> names) {
        if (open.size() != names.size())
            return false;
        size_t i = 0;
        for (std::string_view n : names)
            if (open[i++].name != n)
                return false;
        return true;
    };
    std::string* text = nullptr; // where the current element's text goes
    for (size_t at = 0; at < xml.size();) {
        size_t lt = xml.find('<', at);
        if (text != nullptr)
            *text += Unescape(xml.substr(at, lt == std::string_view::npos ? lt : lt - at));
        if (lt == std::string_view::npos)
            break;
        // Comments, declarations and processing instructions hold no text.
        if (xml.substr(lt, 4) == "<!--" || xml.substr(lt, 2) == "<!" || xml.substr(lt, 2) == "<?") {
            bool comment = xml.substr(lt, 4) == "<!--";
            size_t end = comment ? xml.find("-->", lt + 4) : xml.find('>', lt);
            if (end == std::string_view::npos)
                break;
            at = end + (comment ? 3 : 1);
            continue;
        }
        size_t gt = lt + 1;
        for (char quote = 0; gt < xml.size() && (quote != 0 || xml[gt] != '>'); ++gt)
            if (xml[gt] == '"' || xml[gt] == '\'')
                quote = quote == 0 ? xml[gt] : (quote == xml[gt] ? 0 : quote);
        if (gt >= xml.size())
            break;
        std::string_view tag = xml.substr(lt + 1, gt - lt - 1);
        at = gt + 1;
        text = nullptr;
        if (!tag.empty() && tag[0] == '/') {
            whole = whole || path({"component"});
            if (!open.empty())
                open.pop_back();
            continue;
        }
        bool empty = !tag.empty() && tag.back() == '/';
        size_t nameEnd = tag.find_first_of(" \t\r\n/");
        Element element{std::string(tag.substr(0, nameEnd)),
                        Attribute(tag, "xml:lang").has_value()};
        if (element.name == "release" && path({"component", "releases"}) && !releaseSeen) {
            releaseSeen = true; // the newest comes first
            if (auto version = Attribute(tag, "version"))
                info.version = *version;
        }
        if (empty)
            continue;
        open.push_back(element);
        if (element.translated)
            continue;
        if (path({"component", "name"}))
            text = &name;
        else if (path({"component", "summary"}))
            text = &summary;
        else if (path({"component", "developer_name"}))
            text = &developerName;
        else if (path({"component", "developer", "name"}))
            text = &developer;
    }
    if (!whole)
        return std::nullopt; // cut short: not what the file says
    info.name = Collapse(name);
    info.description = Collapse(summary);
    info.maintainer = Collapse(developer.empty() ? developerName : developer);
    if (info.name.empty() && info.description.empty() && info.maintainer.empty() &&
        info.version.empty())
        return std::nullopt;
    return info;
}

std::optional<PackageInfo> FindAppStream(const FileSource& files, const std::string& desktopId) {
    if (desktopId.empty() || desktopId.find('/') != std::string::npos)
        return std::nullopt;
    std::vector<std::string> bases{desktopId};
    if (desktopId.size() > 8 && desktopId.compare(desktopId.size() - 8, 8, ".desktop") == 0)
        bases.insert(bases.begin(), desktopId.substr(0, desktopId.size() - 8));
    for (const std::string& dir : XdgDataDirs(files))
        for (const char* folder : {"/metainfo/", "/appdata/"})
            for (const std::string& base : bases)
                for (const char* suffix : {".metainfo.xml", ".appdata.xml"})
                    if (auto text = files.Read(dir + folder + base + suffix, kMaxDocument))
                        if (auto info = ParseAppStream(*text))
                            return info;
    return std::nullopt;
}

} // namespace ombrel::platform
