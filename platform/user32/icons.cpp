#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <map>
#include <tuple>

#include <ombrel/icon_pixmap.h>
#include <ombrel/services.h>

#include "base/regular_file.h"
#include "icon_object.h"
#include "metadata/icon_theme.h"
#include "provisions.h"

namespace ombrel::platform {
namespace {

constexpr const char* kOwnProgramIcon = ":/icons/application.svg";
constexpr WORD kApplicationIconId = 32512;

QString ResourceIcon(WORD id) {
    return QStringLiteral(":/icons/%1.svg").arg(id);
}

// Far more than any icon; a larger file is not read.
constexpr size_t kMaxIconFile = size_t{4} << 20;

QPixmap Decode(const QString& source, int size) {
    // Our own artwork is compiled in; any other icon file is anyone's file,
    // read only when regular and not too large (a FIFO there would block).
    QBuffer buffer;
    QImageReader reader;
    if (source.startsWith(QLatin1Char(':'))) {
        reader.setFileName(source);
    } else {
        std::optional<std::string> file;
        const std::string* image = HeldIconImage(source.toStdString());
        if (image == nullptr && (file = ReadRegularFile(source.toStdString(), kMaxIconFile)))
            image = &*file;
        if (image == nullptr)
            return {};
        buffer.setData(QByteArray(image->data(), static_cast<qsizetype>(image->size())));
        buffer.open(QIODevice::ReadOnly);
        reader.setDevice(&buffer);
        reader.setFormat(QFileInfo(source).suffix().toLatin1());
    }
    if (reader.format() == "svg" || source.endsWith(".svg"))
        reader.setScaledSize(QSize(size, size));
    QImage image = reader.read();
    if (image.isNull())
        return {};
    if (image.size() != QSize(size, size))
        image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return QPixmap::fromImage(image);
}

struct SharedIcons {
    std::map<std::pair<bool, WORD>, HICON> icons;
};

SharedIcons& Shared() {
    static SharedIcons shared;
    return shared;
}

} // namespace

QPixmap IconPixmap(HICON icon, int size) {
    auto* object = LookupHandle<IconObject>(reinterpret_cast<HANDLE>(icon));
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (object == nullptr || app == nullptr)
        return {};
    // Drawn at the screen's pixel density from the artwork itself, never a
    // small image scaled up.
    const qreal ratio = app->devicePixelRatio();
    const int pixels = qRound(size * ratio);
    // Sources are interned: the name's address is the key.
    static std::map<std::tuple<const std::string*, int, int>, QPixmap> cache;
    auto key = std::tuple(&object->source, size, pixels);
    if (auto found = cache.find(key); found != cache.end())
        return found->second;
    QString source =
        object->source.empty() ? kOwnProgramIcon : QString::fromStdString(object->source);
    QPixmap pixmap = Decode(source, pixels);
    if (pixmap.isNull() && source != kOwnProgramIcon)
        pixmap = Decode(kOwnProgramIcon, pixels); // an image no reader here understands
    pixmap.setDevicePixelRatio(ratio);
    cache.emplace(key, pixmap);
    return pixmap;
}

namespace lx {

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
    if (name == nullptr || !IS_INTRESOURCE(name)) {
        SetLastError(ERROR_NOT_SUPPORTED); // only numbered icons exist here
        return nullptr;
    }
    WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    bool standard = instance == nullptr;
    if (!standard && instance != GetModuleHandleA(nullptr)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    SharedIcons& shared = Shared();
    if (auto found = shared.icons.find({standard, id}); found != shared.icons.end())
        return found->second;

    std::string source;
    if (standard) {
        if (id != kApplicationIconId) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        // The desktop's generic program icon, else our own.
        source = ThemeIconFile("application-x-executable");
    } else {
        if (!QFile::exists(ResourceIcon(id))) {
            SetLastError(ERROR_FILE_NOT_FOUND); // ERROR_RESOURCE_NAME_NOT_FOUND on the platform
            return nullptr;
        }
        source = ResourceIcon(id).toStdString();
    }
    HICON icon = reinterpret_cast<HICON>(InsertHandle(std::make_unique<IconObject>(source, true)));
    shared.icons.emplace(std::pair(standard, id), icon);
    return icon;
}

} // namespace lx

WindowServices& ActiveWindowServices() {
    static WindowServices services = [] {
        WindowServices s;
#define OMBREL_FILL(name, parameters, arguments) s.name = lx::name;
        OMBREL_WINDOW_SERVICES(OMBREL_FILL)
#undef OMBREL_FILL
        return s;
    }();
    return services;
}

} // namespace ombrel::platform

#define OMBREL_FORWARD(name, parameters, arguments)                                                \
    ombrel::platform::ServiceResult<decltype(::name)> WINAPI name parameters {                     \
        return ombrel::platform::ActiveWindowServices().name arguments;                            \
    }
OMBREL_WINDOW_SERVICES(OMBREL_FORWARD)
#undef OMBREL_FORWARD
