#include "mainwindow.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCursor>
#include <QDebug>
#include <QDesktopWidget>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMetaType>

#include "ui_mainwindow.h"
#include "velcap.h"

std::atomic<MainWindow*> MW{nullptr};
bool isOpenCamera = false;
int RotateVal = 0;
bool isPdfDlgOpen = false;
bool isParamDlgOpen = false;

namespace {

constexpr const char* kCompanyLink =
    "<a href=\"https://www.orvida-imaging.example/\" style=\"color: rgb(47, 111, 181);\">Orvida Imaging Co., Ltd.</a>";

// The home directory of the real user, from the password database.
QString homeDirectory() {
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? QString::fromLocal8Bit(entry->pw_dir) : QString();
}

// "1920*1080" to its width and height; false when the text has no "*".
bool parseResolution(const QString& text, int& width, int& height) {
    const QStringList parts = text.split("*", Qt::KeepEmptyParts);
    if (parts.size() < 2) return false;
    width = parts[0].toInt();
    height = parts[1].toInt();
    return true;
}

} // namespace

void VideoStreamPro(unsigned char* data, int width, int height) {
    if (MainWindow* window = MW.load()) window->postFrame(data, width, height);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    ui = new Ui_MainWindow;
    ui->setupUi(this);
    MW = this;
    setFocusPolicy(Qt::StrongFocus);

    setWindowTitle("Orvida高拍仪");
    setWindowIcon(QIcon(":/new/src/orvida.ico"));

    ui->label_company->setOpenExternalLinks(true);
    ui->label_company->setText(kCompanyLink);

    setGeometry(0, 0, 1000, 660);
    const QRect desktop = QApplication::desktop()->geometry();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);

    ui->pushButton_6->hide();
    ui->pushButton_7->hide();

    ui->bt_capture->setIcon(QIcon(":/new/src/scan1.png"));
    ui->pushButton_8->setIcon(QIcon(":/new/src/RotateL.png"));
    ui->pushButton_9->setIcon(QIcon(":/new/src/RotateR.png"));
    ui->pushButton_5->setIcon(QIcon(":/new/src/Focus.png"));

    ui->listWidget1->setViewMode(QListView::IconMode);
    ui->listWidget1->setIconSize(QSize(120, 160));
    QFont listFont;
    listFont.setPointSize(10);
    listFont.setWeight(QFont::Normal);
    ui->listWidget1->setFont(listFont);
    ui->listWidget1->setSpacing(10);
    ui->listWidget1->setResizeMode(QListView::Adjust);
    ui->listWidget1->setMovement(QListView::Static);

    openAction = new QAction("打开", this);
    deleteAction = new QAction("删除", this);
    popMenu = new QMenu(this);
    popMenu->addAction(openAction);
    popMenu->addAction(deleteAction);
    ui->listWidget1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->listWidget1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint&) { popMenu->exec(QCursor::pos()); });

    // The save folder: made with the system's own call, never through a shell.
    const QString saveFolder = homeDirectory() + "/Image";
    if (!QDir(saveFolder).exists()) ::mkdir(saveFolder.toLocal8Bit().constData(), 0755);
    ui->textEdit_path->setText(saveFolder);

    for (const char* format : {"jpg", "bmp", "png", "tif", "gif", "pdf"}) ui->comboBox_format->addItem(format);

    qRegisterMetaType<QPixmap>("QPixmap&");
    connect(this, &MainWindow::image, this, &MainWindow::showImg, Qt::AutoConnection);

    ui->lb->setScaledContents(true);

    isInited = false;
    const int count = getDeviceCount();
    if (count <= 0) {
        QMessageBox::information(this, "提示", "未发现合适的设备!", QMessageBox::Ok);
    } else {
        for (int i = 0; i < count; ++i) {
            const char* name = getCameraName(i);
            ui->comboBoxDev->addItem(name ? QString::fromUtf8(name) : QString());
        }
        if (ui->comboBoxDev->count() > 0) {
            SetVideoFormat(0);
            changeDevAndGetResolutions();
            openOrFallBackToYuyv();
        }
    }
    isInited = true;
    isResEnabled = true;
}

MainWindow::~MainWindow() {
    // After closeCamera no frame callback runs; only then is MW cleared.
    closeCamera();
    MW = nullptr;
    isOpenCamera = false;
    delete ui;
    ui = nullptr;
}

bool MainWindow::changeDevAndGetResolutions() {
    ui->comboBoxRes->clear();
    const int n = getCameraResolutionCount(ui->comboBoxDev->currentIndex());
    int bestHeight = 0, bestIndex = 0;
    for (int i = 0; i < n; ++i) {
        int w = 0, h = 0;
        if (getCameraResolution(i, &w, &h) != 0) continue;
        ui->comboBoxRes->addItem(QString::number(w) + "*" + QString::number(h));
        if (h > bestHeight) {
            bestHeight = h;
            bestIndex = i;
        }
    }
    ui->comboBoxRes->setCurrentIndex(bestIndex);
    return n > 0;
}

void MainWindow::openOrFallBackToYuyv() {
    if (toOpenCamera()) return;
    closeCamera();
    SetVideoFormat(1);
    changeDevAndGetResolutions();
    toOpenCamera();
    qDebug() << "change YUY format and open camera";
}

bool MainWindow::toOpenCamera() {
    if (ui->comboBoxDev->count() == 0) return false;
    int w = 0, h = 0;
    if (!parseResolution(ui->comboBoxRes->currentText(), w, h)) return false;
    closeCamera();
    isOpenCamera = false;
    SetDataCallback(VideoStreamPro);
    if (openCamera(ui->comboBoxDev->currentIndex(), w, h) == 0) {
        isOpenCamera = true;
        return true;
    }
    return false;
}

void MainWindow::postFrame(const unsigned char* pixels, int width, int height) {
    if (pendingFrames_.load() >= kMaxPendingFrames) return;
    ++pendingFrames_;
    // A deep copy: the library's buffer is reused after the callback returns.
    // Pixmaps belong to the GUI thread, so the conversion happens there; a
    // window destroyed meanwhile drops the queued call.
    QImage frame = QImage(pixels, width, height, width * 3, QImage::Format_RGB888).copy();
    QMetaObject::invokeMethod(
        this,
        [this, frame] {
            --pendingFrames_;
            QPixmap pixmap = QPixmap::fromImage(frame);
            emit image(pixmap);
        },
        Qt::QueuedConnection);
}

void MainWindow::showImg(QPixmap& img) {
    ui->lb->setPixmap(img);
}

void MainWindow::on_comboBoxDev_currentIndexChanged(const QString&) {
    if (!isInited) return;
    isResEnabled = false;
    qDebug() << "on_comboBoxDev_currentIndexChanged start";
    closeCamera();
    SetVideoFormat(0);
    qDebug() << "on_comboBoxDev_currentIndexChanged 01";
    changeDevAndGetResolutions();
    qDebug() << "on_comboBoxDev_currentIndexChanged 02";
    openOrFallBackToYuyv();
    setFocus(Qt::OtherFocusReason);
    isResEnabled = true;
    qDebug() << "on_comboBoxDev_currentIndexChanged end";
}

void MainWindow::on_comboBoxRes_currentIndexChanged(const QString& arg1) {
    if (!isInited || !isResEnabled) return;
    qDebug() << "on_comboBoxRes_currentIndexChanged start";
    closeCamera();
    int w = 0, h = 0;
    if (parseResolution(arg1, w, h)) {
        closeCamera();
        openCamera(ui->comboBoxDev->currentIndex(), w, h);
    }
    setFocus(Qt::OtherFocusReason);
    qDebug() << "on_comboBoxRes_currentIndexChanged end";
}

void MainWindow::on_MainWindow_destroyed() {
    closeCamera();
    isOpenCamera = false;
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Space takes a picture, as the capture button does.
    if (event->key() == Qt::Key_Space) {
        ui->bt_capture->click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::resizeEvent(QResizeEvent*) {}
