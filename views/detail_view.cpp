#include "detail_view.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QPainter>
#include <cstdio>
#include <cstring>

#include <ombrel/font_mapper.h>
#include <ombrel/framework.h>

#include "colour.h"
#include "file_version.h"
#include "gradient.h"
#include "port_entry.h"
#include "shown_text.h"

namespace {

constexpr UINT kCaption = 61459;
constexpr UINT kFileLine = 61460;
constexpr UINT kVersionLine = 61461;
constexpr UINT kDescriptionLine = 61462;
constexpr UINT kCompanyLine = 61463;
constexpr UINT kNoFileLine = 61464;
constexpr int kStripWidth = 30;
constexpr int kTextLeft = 100;

// The caption face: bold "Arial" whose character cell is 16 pixels high
// (the platform's positive font height); the font mapper supplies the
// glyphs Arial lacks.
QFont CaptionFont() {
    QFont font = ombrel::platform::MappedFont(QStringLiteral("Arial"));
    font.setWeight(QFont::Bold);
    for (int pixels = 16; pixels > 8; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).height() <= 16)
            break;
    }
    return font;
}

// A line of the pane: its label with the value shown on one line, whole.
std::string Format(UINT id, const char* value) {
    std::string format = ombrel::platform::LoadResourceString(id);
    std::string shown = ShownText(std::string(value));
    int length = std::snprintf(nullptr, 0, format.c_str(), shown.c_str());
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format.c_str(), shown.c_str());
    return text;
}

// The pane is only painted; a screen reader gets its caption as the name
// and its lines as the text, read when asked for, as a paint reads them.
class DetailAccessible : public QAccessibleWidget {
public:
    explicit DetailAccessible(CDetailView* view)
        : QAccessibleWidget(view, QAccessible::StaticText) {}
    QString text(QAccessible::Text kind) const override {
        auto* view = static_cast<CDetailView*>(widget());
        if (kind == QAccessible::Name)
            return QString::fromStdString(ombrel::platform::LoadResourceString(kCaption));
        if (kind == QAccessible::Description || kind == QAccessible::Value) {
            QStringList lines;
            for (const CDetailView::TextLine& line : view->TextLines())
                lines.push_back(QString::fromStdString(line.text));
            return lines.join(QLatin1Char('\n'));
        }
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* DetailAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("CDetailView"))
        if (auto* view = qobject_cast<CDetailView*>(object))
            return new DetailAccessible(view);
    return nullptr;
}

} // namespace

CDetailView::CDetailView(QWidget* parent) : QWidget(parent), m_fontCaption(CaptionFont()) {
    setAttribute(Qt::WA_OpaquePaintEvent); // the erase fills every pixel
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(DetailAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
}

CDetailView::~CDetailView() = default;

BOOL CDetailView::Create(QWidget* parent, DWORD style) {
    return CreateViewWindow(*this, *this, parent, style);
}

void CDetailView::OnInitialUpdate() {
    CView::OnInitialUpdate();
}

void CDetailView::SetEntry(const PortEntry* entry) {
    if (entry != nullptr) {
        if (!m_entryCopy)
            m_entryCopy.reset(HeapAlloc(GetProcessHeap(), 0, sizeof(PortEntry)));
        m_pEntry = static_cast<PortEntry*>(m_entryCopy.get());
        if (m_pEntry != nullptr)
            std::memcpy(m_pEntry, entry, sizeof(PortEntry)); // the icon stays the table's
    } else {
        m_entryCopy.reset();
        m_pEntry = nullptr;
    }
    QAccessibleEvent changed(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
    update();
    repaint();
}

BOOL CDetailView::OnEraseBkgnd(QPainter* dc) {
    dc->fillRect(rect(), ToQColor(kBackground));
    return TRUE;
}

void CDetailView::OnPaint(QPainter* dc) {
    QRect client = rect();
    RECT strip{client.left(), client.top(), kStripWidth, client.top() + client.height()};
    FillGradient(dc, strip, kBackground, kGradientEnd, 1);

    QString caption = QString::fromStdString(ombrel::platform::LoadResourceString(kCaption));
    dc->save();
    dc->setFont(m_fontCaption);
    dc->setPen(palette().color(QPalette::WindowText));
    dc->setBackgroundMode(Qt::TransparentMode);
    // Rotated about its reference point, the text cell's top edge runs up
    // from (7, bottom - 4) and the glyphs lie to its right.
    dc->translate(7, client.top() + client.height() - 4);
    dc->rotate(-90);
    dc->drawText(QPoint(0, QFontMetrics(m_fontCaption).ascent()), caption);
    dc->restore();
    dc->setBackgroundMode(Qt::OpaqueMode);

    if (m_pEntry == nullptr)
        return;
    dc->setBackgroundMode(Qt::TransparentMode);
    dc->setPen(palette().color(QPalette::WindowText));
    for (const TextLine& line : TextLines())
        dc->drawText(QPoint(kTextLeft, line.y + dc->fontMetrics().ascent()),
                     QString::fromUtf8(line.text.c_str()));
}

std::vector<CDetailView::TextLine> CDetailView::TextLines() const {
    std::vector<TextLine> lines;
    if (m_pEntry == nullptr)
        return lines;
    // Values not read leave their buffers empty: the label alone shows.
    char version[kFileStringCapacity] = {};
    char description[kFileStringCapacity] = {};
    char company[kFileStringCapacity] = {};
    const char* path = m_pEntry->processPath;
    // Where the endpoint lives in another namespace, its name follows.
    lines.push_back({10, Format(kFileLine, path) + ShownText(CompartmentSuffix(*m_pEntry))});
    // What is read of the path is read from the file the process ran.
    ombrel::platform::ProgramFileScope file(path, m_pEntry->programFile);
    if (IsExistingFile(path)) {
        GetFileVersionText(path, version, sizeof version);
        GetFileStrings(path, description, company);
        lines.push_back({30, Format(kVersionLine, version)});
        lines.push_back({50, Format(kDescriptionLine, description)});
        lines.push_back({70, Format(kCompanyLine, company)});
    } else {
        lines.push_back({30, ombrel::platform::LoadResourceString(kNoFileLine)});
    }
    return lines;
}

void CDetailView::OnSize(UINT type, int, int) {
    if (type == SIZE_RESTORED) {
        update();
        repaint();
    }
}

void CDetailView::paintEvent(QPaintEvent*) {
    QPainter dc(this);
    OnEraseBkgnd(&dc);
    OnPaint(&dc);
}

void CDetailView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    OnSize(isMaximized() ? SIZE_MAXIMIZED : SIZE_RESTORED, width(), height());
}

bool IsExistingFile(const char* path) {
    WIN32_FIND_DATAA found;
    std::memset(&found, 0, sizeof found);
    ombrel::UniqueFind search(FindFirstFileA(path, &found));
    // A program in a folder closed to the user (an administrator window
    // shows other users' programs) is there; only its details stay unread.
    if (!search)
        return GetLastError() == ERROR_ACCESS_DENIED;
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
