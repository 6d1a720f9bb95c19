// A modal dialog box that the framework places on its owner.
#pragma once

#include <QDialog>

class CDialog : public QDialog {
    Q_OBJECT
public:
    explicit CDialog(QWidget* owner = nullptr);

    // Centres the box on its owner and shows it modally; its result.
    int DoModal();

    // Centres the box's window, title bar and edges included, on its owner's
    // (or on the work area when it has none), kept on the work area.
    void CenterWindow();

protected:
    // The window system tells a box's edges only once it shows it, and they
    // may differ from the owner's (no resize handle on a box of fixed size):
    // the box is centred again with its own.
    void moveEvent(QMoveEvent* event) override;

private:
    bool m_awaitingEdges = false;
};
