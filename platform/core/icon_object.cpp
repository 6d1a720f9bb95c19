#include "icon_object.h"

#include <unordered_map>
#include <unordered_set>

#include "metadata/icon_theme.h"

namespace ombrel::platform {
namespace {

// All held images together; more than any machine's programs' icons.
constexpr size_t kMaxHeldImages = size_t{64} << 20;

struct HeldImages {
    std::unordered_map<std::string, std::string> nameOf; // image -> source name
    StringMap<const std::string*> imageOf;               // source name -> image
    size_t bytes = 0;
};

HeldImages& Held() {
    static HeldImages held;
    return held;
}

} // namespace

std::string HoldIconImage(std::string image, std::string_view extension) {
    HeldImages& held = Held();
    if (auto found = held.nameOf.find(image); found != held.nameOf.end())
        return found->second;
    if (held.bytes + image.size() > kMaxHeldImages)
        return "";
    std::string name = "held:" + std::to_string(held.nameOf.size()) + "." + std::string(extension);
    held.bytes += image.size();
    auto placed = held.nameOf.emplace(std::move(image), name).first; // nodes never move
    held.imageOf.emplace(name, &placed->first);
    return name;
}

const std::string* HeldIconImage(std::string_view source) {
    const HeldImages& held = Held();
    auto found = held.imageOf.find(source);
    return found != held.imageOf.end() ? found->second : nullptr;
}

const std::string* InternIconSource(std::string_view source) {
    static std::unordered_set<std::string> sources;
    return &*sources.emplace(source).first; // set nodes never move
}

} // namespace ombrel::platform
