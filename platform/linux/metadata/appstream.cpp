#include "metadata/appstream.h"

#include <climits>
#include <expat.h>
#include <memory>
#include <vector>

#include "metadata/xdg.h"

namespace ombrel::platform {
namespace {

// Far more than any application's metadata.
constexpr size_t kMaxDocument = size_t{1} << 20;

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

// What one document says, as the parser reads it.
struct Reading {
    std::vector<std::string> open; // the elements open, outermost first
    std::vector<bool> translated;  // each with an xml:lang attribute
    std::string* text = nullptr;   // where the current element's text goes
    std::string name, summary, developer, developerName, version;
    bool releaseSeen = false;
    bool whole = false; // the component's end was read

    bool At(std::initializer_list<std::string_view> names) const {
        if (open.size() != names.size())
            return false;
        size_t i = 0;
        for (std::string_view n : names)
            if (open[i++] != n)
                return false;
        return true;
    }
};

void Start(void* data, const XML_Char* element, const XML_Char** attributes) {
    auto& reading = *static_cast<Reading*>(data);
    reading.text = nullptr;
    std::string_view name(element);
    bool translated = false;
    const char* version = nullptr;
    for (const XML_Char** attribute = attributes; *attribute != nullptr; attribute += 2) {
        std::string_view key(attribute[0]);
        translated = translated || key == "xml:lang";
        if (key == "version")
            version = attribute[1];
    }
    if (name == "release" && reading.At({"component", "releases"}) && !reading.releaseSeen) {
        reading.releaseSeen = true; // the newest comes first
        if (version != nullptr)
            reading.version = version;
    }
    reading.open.emplace_back(name);
    reading.translated.push_back(translated);
    if (translated)
        return;
    if (reading.At({"component", "name"}))
        reading.text = &reading.name;
    else if (reading.At({"component", "summary"}))
        reading.text = &reading.summary;
    else if (reading.At({"component", "developer_name"}))
        reading.text = &reading.developerName;
    else if (reading.At({"component", "developer", "name"}))
        reading.text = &reading.developer;
}

void End(void* data, const XML_Char*) {
    auto& reading = *static_cast<Reading*>(data);
    reading.text = nullptr; // text after a child element is not the element's own
    reading.whole = reading.whole || reading.At({"component"});
    reading.open.pop_back();
    reading.translated.pop_back();
}

// Character data, CDATA sections' included, entities and references
// already replaced; in pieces, as the parser reads them.
void Text(void* data, const XML_Char* text, int length) {
    auto& reading = *static_cast<Reading*>(data);
    if (reading.text != nullptr && length > 0)
        reading.text->append(text, static_cast<size_t>(length));
}

struct ParserRelease {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

} // namespace

std::optional<PackageInfo> ParseAppStream(std::string_view xml) {
    if (xml.size() > static_cast<size_t>(INT_MAX))
        return std::nullopt;
    std::unique_ptr<XML_ParserStruct, ParserRelease> parser(XML_ParserCreate("UTF-8"));
    if (!parser)
        return std::nullopt;
    Reading reading;
    XML_SetUserData(parser.get(), &reading);
    XML_SetElementHandler(parser.get(), Start, End);
    XML_SetCharacterDataHandler(parser.get(), Text);
    // Nothing outside the document is read: no external entity, no
    // external subset; entities that expand without bound are refused by
    // the parser itself.
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE) !=
            XML_STATUS_OK ||
        !reading.whole)
        return std::nullopt; // cut short or not XML: not what the file says
    PackageInfo info;
    info.name = Collapse(reading.name);
    info.description = Collapse(reading.summary);
    info.maintainer =
        Collapse(reading.developer.empty() ? reading.developerName : reading.developer);
    info.version = std::move(reading.version);
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
