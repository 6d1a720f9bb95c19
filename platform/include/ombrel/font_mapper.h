// The font mapper: the faces the program's resources name, on a desktop
// that may not have them.
#pragma once

#include <QFont>
#include <QStringList>

namespace ombrel::platform {

// The families to ask for in place of a face: the face itself where the
// machine has it, else the first stand-in of its design the machine has,
// then a Simplified Chinese face for the glyphs the first one lacks.
QStringList MappedFamilies(const QString& face);

// A font of the face, its glyphs as MappedFamilies orders them; the caller
// gives it its size and weight.
QFont MappedFont(const QString& face);

// Once the application object exists: its default font takes the Chinese
// glyphs from a Simplified Chinese face, whatever the locale, since every
// text of the program is Simplified Chinese.
void UseSimplifiedChineseGlyphs();

} // namespace ombrel::platform
