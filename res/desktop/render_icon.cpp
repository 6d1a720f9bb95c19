// Renders the application icon's SVG to a square PNG for the icon theme:
// render-icon SVG SIZE OUT
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: render-icon SVG SIZE OUT\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    int size = std::atoi(argv[2]);
    QImageReader reader(QString::fromLocal8Bit(argv[1]));
    reader.setScaledSize(QSize(size, size));
    QImage image = reader.read();
    if (image.isNull() || !image.convertToFormat(QImage::Format_ARGB32)
                               .save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "render-icon: %s: %s\n", argv[1], qPrintable(reader.errorString()));
        return 1;
    }
    return 0;
}
