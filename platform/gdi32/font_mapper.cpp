#include <QApplication>
#include <QFontDatabase>
#include <QHash>

#include <ombrel/font_mapper.h>

namespace ombrel::platform {
namespace {

// Left to fontconfig, a face missing here becomes whatever the locale
// prefers: a CJK face with tall lines for "Arial" under a Chinese locale,
// the Japanese glyph forms under any other. So the stand-ins are named.
const QStringList& SongFaces() {
    static const QStringList faces{
        QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Source Han Serif SC"),
        QStringLiteral("AR PL SungtiL GB"), QStringLiteral("AR PL UMing CN")};
    return faces;
}

const QStringList& ChineseSansFaces() {
    static const QStringList faces{
        QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC"),
        QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("WenQuanYi Zen Hei")};
    return faces;
}

// Metric-compatible faces first, so that a cell keeps its height.
const QStringList& ArialFaces() {
    static const QStringList faces{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                   QStringLiteral("DejaVu Sans")};
    return faces;
}

const QStringList* StandInsFor(const QString& face) {
    static const QHash<QString, const QStringList*> table{
        {QStringLiteral("宋体"), &SongFaces()},   {QStringLiteral("SimSun"), &SongFaces()},
        {QStringLiteral("新宋体"), &SongFaces()}, {QStringLiteral("NSimSun"), &SongFaces()},
        {QStringLiteral("Arial"), &ArialFaces()},
    };
    auto found = table.find(face);
    return found == table.end() ? nullptr : found.value();
}

QString FirstPresent(const QStringList& faces) {
    for (const QString& face : faces)
        if (QFontDatabase::hasFamily(face))
            return face;
    return {};
}

} // namespace

QStringList MappedFamilies(const QString& face) {
    QStringList families;
    if (QFontDatabase::hasFamily(face)) {
        families.push_back(face);
    } else if (const QStringList* standIns = StandInsFor(face)) {
        QString present = FirstPresent(*standIns);
        families.push_back(present.isEmpty() ? face : present);
    } else {
        families.push_back(face);
    }
    QString chinese = FirstPresent(ChineseSansFaces());
    if (!chinese.isEmpty() && !families.contains(chinese))
        families.push_back(chinese);
    return families;
}

QFont MappedFont(const QString& face) {
    QFont font;
    font.setFamilies(MappedFamilies(face));
    return font;
}

void UseSimplifiedChineseGlyphs() {
    QFont font = QApplication::font();
    QStringList families = MappedFamilies(font.family());
    font.setFamilies(families);
    QApplication::setFont(font);
}

} // namespace ombrel::platform
