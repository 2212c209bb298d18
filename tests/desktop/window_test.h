// Shared by the tests of the desktop program: the virtual cameras, message
// boxes answered by a timer, and combo box contents.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

#include "vcam.h"

namespace velcap::test {

inline vcam::Camera documentCamera() {
    return vcam::defaultDescription().cameras.front();
}

// Answers the next modal message box and remembers what it said.
struct MessageBoxCatcher {
    QString title, text;
    int seen = 0;
    void arm() {
        QTimer::singleShot(50, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                ++seen;
                box->accept();
            } else {
                arm();
            }
        });
    }
};

inline QStringList items(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

} // namespace velcap::test
