// What the framework hands every view it creates, and its way of making each
// kind of pane from its class.
#pragma once

#include <functional>

#include <windows.h>

class CDocument;
class QWidget;

struct CCreateContext {
    CDocument* m_pCurrentDoc = nullptr;
};

// Makes a pane inside parent with those window styles; none when it cannot
// be made.
using CRuntimeClass =
    std::function<QWidget*(QWidget* parent, DWORD style, CCreateContext* context)>;

// Makes a view of that class inside parent; none when it cannot be made.
template <typename View> QWidget* CreateViewObject(QWidget* parent, DWORD style, CCreateContext*) {
    auto* view = new View();
    if (!view->Create(parent, style)) {
        delete view;
        return nullptr;
    }
    return view;
}

template <typename View> CRuntimeClass RuntimeClassOf() {
    return &CreateViewObject<View>;
}
