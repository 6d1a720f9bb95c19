// An image list: fixed-size images, each a copy of the icon appended.
#pragma once

#include <QPixmap>
#include <QSize>
#include <vector>

#include <windows.h>

class CImageList {
public:
    BOOL Create(int cx, int cy, UINT flags, int initial, int grow);
    // Destroys every image; the list must be created again before use.
    BOOL DeleteImageList();
    // Appends a copy of the icon's image (ImageList_ReplaceIcon with -1):
    // its index, or -1 when the list or the icon is not usable.
    int Add(HICON icon);

    bool IsCreated() const { return m_created; }
    int GetImageCount() const { return static_cast<int>(m_images.size()); }
    QSize GetIconSize() const { return QSize(m_cx, m_cy); }
    QPixmap GetImage(int index) const;

private:
    bool m_created = false;
    int m_cx = 0;
    int m_cy = 0;
    std::vector<QPixmap> m_images;
};
