// The object behind an icon handle.
#pragma once

#include <string>
#include <string_view>

#include "handles.h"

namespace ombrel::platform {

// One copy of each image name for every icon made from it: a refresh makes
// an icon per endpoint, nearly all from a few images. Never freed; there
// are as many as the desktop has icon files.
const std::string* InternIconSource(std::string_view source);

// Images read from a process's own root are held here, for it may be gone
// (or its root changed) when its icon is drawn: source names of the form
// "held:N.ext". Each image is held once, for the life of the program, up
// to a bound on all of them together; HoldIconImage gives empty past it.
std::string HoldIconImage(std::string image, std::string_view extension);

// A held image's bytes, or nullptr for a source that names none.
const std::string* HeldIconImage(std::string_view source);

class IconObject : public KernelObject {
public:
    IconObject(std::string_view image, bool isShared)
        : source(*InternIconSource(image)), shared(isShared) {}
    // An image file, a resource of the program (":/icons/N.svg"), a held
    // image, or empty for the layer's own generic program icon.
    const std::string& source;
    // Standard and resource icons are shared: DestroyIcon leaves them.
    bool shared;
};

} // namespace ombrel::platform
