// velcap-viewer: an example host of the embedded preview. It opens the first
// camera at its largest size, registers the web frame callback, and draws each
// picture where the library places it in a form of fixed size.
//
//   mouse wheel   zoom in and out           (Web_ZoomIn, Web_ZoomOut)
//   drag          pan                       (Web_SetMoveOffet)
//   1 / 0         true size / best fit      (Web_TrueSize, Web_BestSize)
//   L / R         quarter turn left / right (Web_RotateL, Web_RotateR)
//
// Usage: velcap-viewer [--form WxH] [--camera N]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWheelEvent>
#include <QWidget>

#include "velcap.h"

namespace {

class Form : public QWidget {
public:
    Form(int width, int height) {
        setFixedSize(width, height);
        setWindowTitle(QStringLiteral("velcap-viewer %1x%2").arg(width).arg(height));
        instance_ = this;
    }
    ~Form() override { instance_ = nullptr; }

    // On the stream thread: the picture is valid only during the call, so it is copied.
    static void onPicture(unsigned char* pixels, int width, int height, int formStartX, int formStartY) {
        Form* form = instance_;
        if (!form || width <= 0 || height <= 0) return;
        {
            std::lock_guard<std::mutex> lock(form->mutex_);
            form->picture_ = QImage(pixels, width, height, width * 3, QImage::Format_RGB888).copy();
            form->at_ = QPoint(formStartX, formStartY);
        }
        QMetaObject::invokeMethod(
            form, [form] { form->update(); }, Qt::QueuedConnection);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(40, 40, 40));
        std::lock_guard<std::mutex> lock(mutex_);
        painter.drawImage(at_, picture_);
    }
    void wheelEvent(QWheelEvent* event) override {
        const int steps = event->angleDelta().y() / 120;
        for (int i = 0; i < std::abs(steps); ++i) steps > 0 ? Web_ZoomIn() : Web_ZoomOut();
    }
    void mousePressEvent(QMouseEvent* event) override { dragFrom_ = event->pos(); }
    void mouseMoveEvent(QMouseEvent* event) override {
        const QPoint move = event->pos() - dragFrom_;
        dragFrom_ = event->pos();
        Web_SetMoveOffet(move.x(), move.y());
    }
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
        case Qt::Key_1:
            Web_TrueSize();
            break;
        case Qt::Key_0:
            Web_BestSize();
            break;
        case Qt::Key_L:
            Web_RotateL();
            break;
        case Qt::Key_R:
            Web_RotateR();
            break;
        default:
            QWidget::keyPressEvent(event);
        }
    }

private:
    static inline Form* instance_ = nullptr;
    std::mutex mutex_;
    QImage picture_;
    QPoint at_;
    QPoint dragFrom_;
};

// The largest size of the format, then openCamera: 0 on success.
int openLargest(int camera, int format) {
    SetVideoFormat(format);
    int best = -1, bestWidth = 0, bestHeight = 0;
    const int count = getCameraResolutionCount(camera);
    for (int i = 0; i < count; ++i) {
        int width = 0, height = 0;
        if (getCameraResolution(i, &width, &height) == 0 && width * height > bestWidth * bestHeight)
            best = i, bestWidth = width, bestHeight = height;
    }
    return best < 0 ? -1 : openCamera(camera, bestWidth, bestHeight);
}

int usage(const char* message) {
    std::fprintf(stderr, "velcap-viewer: %s\nusage: velcap-viewer [--form WxH] [--camera N]\n", message);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int formWidth = 800, formHeight = 600, camera = 0;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        const QString value = i + 1 < arguments.size() ? arguments[i + 1] : QString();
        if (a == "--form" && std::sscanf(value.toUtf8().constData(), "%dx%d", &formWidth, &formHeight) == 2 &&
            formWidth > 0 && formHeight > 0)
            ++i;
        else if (a == "--camera" && !value.isEmpty() && (camera = value.toInt()) >= 0)
            ++i;
        else
            return usage(("bad argument " + a.toStdString()).c_str());
    }
    // A form larger than the screen cannot be shown (Qt's window would fail
    // on its size): it is bounded to the screen's available area.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize room = screen->availableSize();
        if (formWidth > room.width() || formHeight > room.height()) {
            std::fprintf(stderr, "velcap-viewer: the form %dx%d is larger than the screen; %dx%d is used\n", formWidth,
                         formHeight, std::min(formWidth, room.width()), std::min(formHeight, room.height()));
            formWidth = std::min(formWidth, room.width());
            formHeight = std::min(formHeight, room.height());
        }
    }
    if (camera >= getDeviceCount()) {
        std::fprintf(stderr, "velcap-viewer: no supported camera %d\n", camera);
        return 3;
    }
    Form form(formWidth, formHeight);
    SetWebDataCallback(&Form::onPicture);
    // MJPEG first; YUYV when the camera refuses it, as the desktop program does.
    if (openLargest(camera, 0) != 0 && openLargest(camera, 1) != 0) {
        std::fprintf(stderr, "velcap-viewer: camera %d could not be opened\n", camera);
        return 1;
    }
    SetWebFormSize(formWidth, formHeight);
    form.show();
    const int result = app.exec();
    // No callback runs after closeCamera: only then may the form go.
    closeCamera();
    return result;
}
