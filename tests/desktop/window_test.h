// Shared by the tests of the desktop program: the virtual cameras, message
// boxes answered by a timer, and combo box contents.
#pragma once

#include <functional>
#include <memory>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "compat/state.h"
#include "mainwindow.h"
#include "testbed.h"
#include "ui_mainwindow.h"
#include "vcam.h"

namespace velcap::test {

inline vcam::Camera documentCamera() {
    return vcam::defaultDescription().cameras.front();
}

// Answers the next modal message box and remembers what it said.
struct MessageBoxCatcher {
    QString title, text, informativeText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int seen = 0;
    void arm() {
        QTimer::singleShot(50, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                informativeText = box->informativeText();
                icon = box->icon();
                ++seen;
                box->accept();
            } else {
                arm();
            }
        });
    }
};

// Whether a file of this name lies in the desktop's trash (XDG_DATA_HOME's).
inline bool inTrash(const QString& path) {
    const QString trash = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Trash/files/";
    return QFile::exists(trash + QFileInfo(path).fileName());
}

// The program's settings and camera profiles go to a folder of the test
// program's own, and start empty.
inline void freshSettings() {
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QSettings("velcap", "velcapdesk").clear();
    QDir(config.path() + "/velcap/devices").removeRecursively();
}

inline QStringList items(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

// A main window on a camera of two MJPEG sizes, so that start-up is quick,
// saving into a folder of its own.
class WindowFixture {
protected:
    std::unique_ptr<vcam::Testbed> testbed_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<QTemporaryDir> folder_;

    static vcam::Camera smallCamera() {
        vcam::Camera c = documentCamera();
        c.formats = {
            vcam::Format{vcam::fourcc("MJPG"), {vcam::FrameSize{640, 480, 30}, vcam::FrameSize{1920, 1080, 30}}}};
        return c;
    }
    // resolution: 0 for 640 x 480, 1 for 1920 x 1080. The window starts with
    // no saved settings, or (again) with those its last run saved; the
    // camera shows its desk, or the picture scene, or as shown (an open book).
    MainWindow* start(int resolution, bool again = false, const std::string& scene = {},
                      const std::function<void(vcam::Camera&)>& shown = {}) {
        window_.reset();
        closeCamera();
        deviceCount = 0;
        vcam::Camera camera = smallCamera();
        camera.scene = scene;
        if (shown) shown(camera);
        testbed_->present(vcam::Description{{camera}});
        if (!again) freshSettings();
        window_ = std::make_unique<MainWindow>();
        window_->show();
        if (!again) {
            window_->ui->comboBoxRes->setCurrentIndex(resolution);
            folder_ = std::make_unique<QTemporaryDir>();
            window_->ui->textEdit_path->setText(folder_->path());
        }
        if (!QTest::qWaitFor([&] { return !preview().isNull(); }, 10000)) qWarning("no preview frame came");
        return window_.get();
    }
    QPixmap preview() const { return window_->ui->lb->pixmap(Qt::ReturnByValue); }
    QStringList files(const QString& filter = "*") const {
        return QDir(folder_->path()).entryList({filter}, QDir::Files, QDir::Name);
    }
    static int pdfPages(const QString& path) {
        QProcess pdfinfo;
        pdfinfo.start("pdfinfo", {path});
        pdfinfo.waitForFinished();
        for (const QString& line : QString(pdfinfo.readAllStandardOutput()).split('\n'))
            if (line.startsWith("Pages:")) return line.mid(6).trimmed().toInt();
        return -1;
    }
};

} // namespace velcap::test
