// The object behind an icon handle.
#pragma once

#include <string>
#include <string_view>

#include "../core/handles.h"

namespace ombrel::platform {

// One copy of each image name for every icon made from it: a refresh makes
// an icon per endpoint, nearly all from a few images. Never freed; there
// are as many as the desktop has icon files.
const std::string* InternIconSource(std::string_view source);

class IconObject : public KernelObject {
public:
    IconObject(std::string_view image, bool isShared)
        : source(*InternIconSource(image)), shared(isShared) {}
    // An image file, a resource of the program (":/icons/N.svg"), or empty
    // for the layer's own generic program icon.
    const std::string& source;
    // Standard and resource icons are shared: DestroyIcon leaves them.
    bool shared;
};

} // namespace ombrel::platform
