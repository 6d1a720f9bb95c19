// The program's one top-level window.
#pragma once

#include <QMainWindow>

#include "port_table.h"

class COmbrelDoc;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(COmbrelDoc* document);
    ~CMainFrame() override;

    // The framework's initial update of the frame's views.
    void OnInitialUpdate();

    const CPortTable& Table() const { return m_table; }

private:
    COmbrelDoc* m_pDocument;
    CPortTable m_table; // held here until the port list takes it over
};
