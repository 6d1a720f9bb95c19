#include "metadata/appstream.h"

#include <array>
#include <climits>
#include <expat.h>
#include <memory>
#include <vector>

#include "metadata/xdg.h"

namespace ombrel::platform {
namespace {

// Far more than any application's metadata.
constexpr size_t kMaxDocument = size_t{1} << 20;
// What entities may add to a small document.
constexpr size_t kSpareBudget = size_t{64} << 10;

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

// The fields the document is read for, each from the first element (not
// a translation, nor inside one) that holds it.
enum Field { kName, kSummary, kDeveloperName, kDeveloper, kFieldCount };

// What one document says, as the parser reads it.
struct Reading {
    XML_Parser parser = nullptr;
    // What the parser may hand over in all, entities expanded: a few times
    // the document. A document whose entities grow past it says nothing.
    size_t budget = 0;
    std::vector<std::string> open; // the elements open, outermost first
    std::vector<bool> translated;  // each within an xml:lang one, or one itself
    int field = -1;                // where the current element's text goes
    std::array<std::string, kFieldCount> text;
    std::array<bool, kFieldCount> done{};
    std::string version;
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

    int FieldHere() const {
        return At({"component", "name"})                ? kName
               : At({"component", "summary"})           ? kSummary
               : At({"component", "developer_name"})    ? kDeveloperName
               : At({"component", "developer", "name"}) ? kDeveloper
                                                        : -1;
    }

    // False, with the parser stopped, once the budget is spent.
    bool Spend(size_t bytes) {
        if (bytes <= budget) {
            budget -= bytes;
            return true;
        }
        budget = 0;
        XML_StopParser(parser, XML_FALSE);
        return false;
    }
};

void Start(void* data, const XML_Char* element, const XML_Char** attributes) {
    auto& reading = *static_cast<Reading*>(data);
    reading.field = -1;
    std::string_view name(element);
    size_t bytes = name.size();
    bool translated = !reading.translated.empty() && reading.translated.back();
    const char* version = nullptr;
    for (const XML_Char** attribute = attributes; *attribute != nullptr; attribute += 2) {
        std::string_view key(attribute[0]);
        bytes += key.size() + std::char_traits<char>::length(attribute[1]);
        translated = translated || key == "xml:lang";
        if (key == "version")
            version = attribute[1];
    }
    if (!reading.Spend(bytes))
        return;
    if (name == "release" && reading.At({"component", "releases"}) && !reading.releaseSeen) {
        reading.releaseSeen = true; // the newest comes first
        if (version != nullptr)
            reading.version = version;
    }
    reading.open.emplace_back(name);
    reading.translated.push_back(translated);
    if (int field = reading.FieldHere(); field >= 0 && !translated && !reading.done[field])
        reading.field = field;
}

void End(void* data, const XML_Char*) {
    auto& reading = *static_cast<Reading*>(data);
    reading.field = -1; // text after a child element is not the element's own
    reading.whole = reading.whole || reading.At({"component"});
    if (int field = reading.FieldHere(); field >= 0 && !reading.translated.back())
        reading.done[field] = true;
    reading.open.pop_back();
    reading.translated.pop_back();
}

// Character data, CDATA sections' included, entities and references
// already replaced; in pieces, as the parser reads them.
void Text(void* data, const XML_Char* text, int length) {
    auto& reading = *static_cast<Reading*>(data);
    if (length <= 0 || !reading.Spend(static_cast<size_t>(length)))
        return;
    if (reading.field >= 0)
        reading.text[static_cast<size_t>(reading.field)].append(text, static_cast<size_t>(length));
}

// Comments and processing instructions say nothing, but what entities
// expand to there counts against the budget too.
void Comment(void* data, const XML_Char* text) {
    static_cast<Reading*>(data)->Spend(std::char_traits<char>::length(text));
}

void Instruction(void* data, const XML_Char* target, const XML_Char* text) {
    static_cast<Reading*>(data)->Spend(std::char_traits<char>::length(target) +
                                       std::char_traits<char>::length(text));
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
    reading.parser = parser.get();
    reading.budget = 4 * xml.size() + kSpareBudget;
    XML_SetUserData(parser.get(), &reading);
    XML_SetElementHandler(parser.get(), Start, End);
    XML_SetCharacterDataHandler(parser.get(), Text);
    XML_SetCommentHandler(parser.get(), Comment);
    XML_SetProcessingInstructionHandler(parser.get(), Instruction);
    // Nothing outside the document is read: no external entity, no
    // external subset; entities that expand far beyond the document stop
    // the parse (the budget), as the parser's own bound would only later.
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE) !=
            XML_STATUS_OK ||
        !reading.whole)
        return std::nullopt; // cut short or not XML: not what the file says
    PackageInfo info;
    info.name = Collapse(reading.text[kName]);
    info.description = Collapse(reading.text[kSummary]);
    info.maintainer = Collapse(reading.text[kDeveloper].empty() ? reading.text[kDeveloperName]
                                                                : reading.text[kDeveloper]);
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
