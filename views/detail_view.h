// The pane under the list: the selected program's path, version,
// description and company beside a gradient strip with an upward caption.
#pragma once

#include <QFont>
#include <QWidget>
#include <string>
#include <vector>

#include <ombrel/owned.h>

#include "view.h"

struct PortEntry;

class CDetailView : public QWidget, public CView {
    Q_OBJECT
public:
    explicit CDetailView(QWidget* parent = nullptr);
    ~CDetailView() override;

    BOOL Create(QWidget* parent, DWORD style = kDefaultViewStyle);
    void OnInitialUpdate() override;

    // Takes a copy of the entry, or clears the copy when none, and repaints
    // at once.
    void SetEntry(const PortEntry* entry);
    const PortEntry* GetEntry() const { return m_pEntry; }

    BOOL OnEraseBkgnd(QPainter* dc);
    void OnPaint(QPainter* dc);
    void OnSize(UINT type, int cx, int cy);
    void ApplyStyles(LONG, DWORD) {}

    struct TextLine {
        int y;
        std::string text;
    };
    // The text lines a paint draws at x = 100, read afresh from the file.
    std::vector<TextLine> TextLines() const;

    static constexpr COLORREF kBackground = 0xFFF7EC; // pale blue
    static constexpr COLORREF kGradientEnd = 0xFFFFFF;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    ombrel::HeapBlock m_entryCopy; // the shown entry's copy, while there is one
    PortEntry* m_pEntry = nullptr; // the same block
    QFont m_fontCaption;
};

// True only when path names an existing file that is not a directory, or
// one the caller may not look at; a relative path is looked up from the
// current directory.
bool IsExistingFile(const char* path);
