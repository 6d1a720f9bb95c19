#include "image_list.h"

#include <ombrel/icon_pixmap.h>

BOOL CImageList::Create(int cx, int cy, UINT, int initial, int) {
    if (cx <= 0 || cy <= 0)
        return FALSE;
    m_images.clear();
    // The platform grows by the given step; a vector's geometric growth
    // keeps appending linear at any size, with the same images in the end.
    m_images.reserve(static_cast<size_t>(initial > 0 ? initial : 0));
    m_cx = cx;
    m_cy = cy;
    m_created = true;
    return TRUE;
}

BOOL CImageList::DeleteImageList() {
    if (!m_created)
        return FALSE;
    m_images.clear();
    m_images.shrink_to_fit();
    m_created = false;
    return TRUE;
}

int CImageList::Add(HICON icon) {
    if (!m_created)
        return -1;
    QPixmap image = ombrel::platform::IconPixmap(icon, m_cx);
    if (image.isNull())
        return -1;
    m_images.push_back(image);
    return GetImageCount() - 1;
}

QPixmap CImageList::GetImage(int index) const {
    if (index < 0 || index >= GetImageCount())
        return {};
    return m_images[static_cast<size_t>(index)];
}
