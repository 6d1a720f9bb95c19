// The object behind an icon handle.
#pragma once

#include <string>

#include "../core/handles.h"

namespace ombrel::platform {

class IconObject : public KernelObject {
public:
    IconObject(std::string image, bool isShared) : source(std::move(image)), shared(isShared) {}
    // An image file, a resource of the program (":/icons/N.svg"), or empty
    // for the layer's own generic program icon.
    std::string source;
    // Standard and resource icons are shared: DestroyIcon leaves them.
    bool shared;
};

} // namespace ombrel::platform
