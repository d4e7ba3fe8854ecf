#include "cportui/FormStyle.h"

#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QStringList>
#include <QWidget>

QFont DialogFont() {
    QFont f;
    // Metric-compatible faces first; the generic hint catches machines that have none of them.
    f.setFamilies(QStringList{"MS Sans Serif", "Nimbus Sans", "Liberation Sans", "Arial", "DejaVu Sans"});
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(11);
    return f;
}

void MakeFixedDialog(QWidget* Form, const QString& Caption, int ClientWidth, int ClientHeight) {
    Form->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint |
                         Qt::MSWindowsFixedSizeDialogHint);
    Form->setWindowTitle(Caption);
    Form->setFixedSize(ClientWidth, ClientHeight);
    Form->setFont(DialogFont());
    Form->setBackgroundRole(QPalette::Button);
    Form->setAutoFillBackground(true);
}

void CentreOnScreen(QWidget* Form) {
    QScreen* screen = Form->screen() ? Form->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect area = screen->availableGeometry();
    QRect frame = Form->frameGeometry();
    // move() places the frame, so the frame's size centres the whole window, border included.
    Form->move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
}
