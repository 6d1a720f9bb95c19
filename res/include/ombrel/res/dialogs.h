// The dialog templates: size and controls in dialog units of the font.
#pragma once

#include <cstddef>

namespace ombrel::res {

struct DialogControl {
    enum Kind { Icon, Text, Button, Separator, Bitmap };
    Kind kind;
    int id; // -1 for statics
    int x, y, cx, cy;
    const char* text; // UTF-8; lines break at '\n'
    unsigned image;   // icon or bitmap resource
    bool centred;
    bool defaultButton;
};

struct DialogTemplate {
    unsigned id;
    int cx, cy;
    const char* caption;
    const char* fontFace;
    int pointSize;
    const DialogControl* controls;
    size_t count;
};

const DialogTemplate* FindDialog(unsigned id);

} // namespace ombrel::res
