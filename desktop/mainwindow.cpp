#include "mainwindow.h"

#include <algorithm>
#include <cstdio>
#include <pwd.h>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDesktopWidget>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QListWidgetItem>
#include <QMenu>
#include <QMessageBox>
#include <QMetaType>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QSettings>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUrl>
#include <QXmlStreamReader>

#include "background_job.h"
#include "file_list.h"
#include "multipdfdlg.h"
#include "paramdlg.h"
#include "ui_mainwindow.h"
#include "velcap.h"

std::atomic<MainWindow*> MW{nullptr};
bool isOpenCamera = false;
int RotateVal = 0;
bool isPdfDlgOpen = false;
bool isParamDlgOpen = false;

namespace {

// How often velcapd is asked whether it offers the camera to SANE programs,
// in ms; more often while it does, so that another machine's scan shows.
constexpr int kScannerCheck = 10000;
constexpr int kScannerWatch = 2000;
// Another machine's scan is shown for at least this long, in s: it may end between two checks.
constexpr int kRemoteScanShown = 10;

// The machines whose scans run now or ended a moment ago, from velcapd's
// ScannerStatus (which names them to this user only).
QStringList remoteScans(const QByteArray& status) {
    QStringList machines;
    QXmlStreamReader xml(status);
    QString peer, state;
    int age = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        const QStringRef name = xml.name();
        if (xml.isStartElement()) {
            if (name == QLatin1String("JobInfo")) {
                peer.clear();
                state.clear();
                age = 0;
            } else if (name == QLatin1String("Peer")) {
                peer = xml.readElementText();
            } else if (name == QLatin1String("JobState")) {
                state = xml.readElementText();
            } else if (name == QLatin1String("Age")) {
                age = xml.readElementText().toInt();
            }
        } else if (xml.isEndElement() && name == QLatin1String("JobInfo") && !peer.isEmpty() &&
                   (state == QLatin1String("Processing") || age <= kRemoteScanShown) && !machines.contains(peer)) {
            machines << peer;
        }
    }
    return machines;
}

constexpr const char* kCompanyLink =
    "<a href=\"https://www.orvida-imaging.example/\" style=\"color: rgb(47, 111, 181);\">Orvida Imaging Co., Ltd.</a>";

// The home directory of the real user, from the password database.
QString homeDirectory() {
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? QString::fromLocal8Bit(entry->pw_dir) : QString();
}

// The capture name: the local time to the millisecond.
QString timeStamp() {
    return QDateTime::currentDateTime().toString("yyyyMMddHHmmsszzz");
}

bool isFile(const QString& path) {
    return QFileInfo(path).isFile();
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

namespace {

// A card's sides are personal data: they wait in a folder of the user's
// alone (0700, not a link, the user's own), never in the save folder.
QString privateCardFolder() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (base.isEmpty()) return {};
    const QString folder = base + "/velcapdesk";
    QDir().mkpath(folder);
    const QFileInfo info(folder);
    if (!info.isDir() || info.isSymLink() || info.ownerId() != ::getuid()) return {};
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return folder;
}

// Removes what the folder holds: the sides a crash or an unfinished copy left.
void emptyFolder(const QString& folder) {
    if (folder.isEmpty()) return;
    QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) dir.remove(name);
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), cardFolder_(privateCardFolder()) {
    emptyFolder(cardFolder_);
    ui = new Ui_MainWindow;
    ui->setupUi(this);
    MW = this;
    setFocusPolicy(Qt::StrongFocus);

    setWindowTitle("Orvida高拍仪");
    // The installed theme icon, which the shell shows for the entry too; the program's own without it.
    setWindowIcon(QIcon::fromTheme("org.velcap.velcapdesk", QIcon(":/new/src/orvida.ico")));

    ui->label_company->setOpenExternalLinks(true);
    ui->label_company->setText(kCompanyLink);
    scannerLabel_ = new QLabel(QString::fromUtf8("可作为扫描仪使用"), this);
    scannerLabel_->setObjectName("label_scanner");
    scannerLabel_->setStyleSheet(ui->label_company->styleSheet());
    scannerLabel_->setFixedHeight(23);
    scannerLabel_->setToolTip(
        QString::fromUtf8("SANE 扫描程序（如 Simple Scan、scanimage）可经 velcapd 用本高拍仪扫描"));
    scannerLabel_->hide();
    ui->horizontalLayout_4->addWidget(scannerLabel_);
    network_ = new QNetworkAccessManager(this);
    connect(&scannerTimer_, &QTimer::timeout, this, [this] { checkScanner(); });
    scannerTimer_.start(kScannerCheck);
    checkScanner();

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
    filelist::showWholeNames(ui->listWidget1);

    openAction = new QAction("打开", this);
    deleteAction = new QAction("删除", this);
    popMenu = new QMenu(this);
    popMenu->addAction(openAction);
    popMenu->addAction(deleteAction);
    ui->listWidget1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->listWidget1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint&) { popMenu->exec(QCursor::pos()); });

    MenuEventPro();

    // The save folder: made by Qt, never through a shell.
    const QString saveFolder = homeDirectory() + "/Image";
    QDir().mkpath(saveFolder);
    ui->textEdit_path->setText(saveFolder);
    // Auto-capture writes where manual captures go (a book's spreads: see applyCaptureOptions).
    SetAutoCaptureFolder(saveFolder.toUtf8().constData());
    connect(ui->textEdit_path, &QLineEdit::textChanged, this, [this] { applyCaptureOptions(); });

    for (const char* format : {"jpg", "bmp", "png", "tif", "gif", "pdf"}) ui->comboBox_format->addItem(format);

    restoreSettings();

    qRegisterMetaType<QPixmap>("QPixmap&");
    connect(this, &MainWindow::image, this, &MainWindow::showImg, Qt::AutoConnection);

    ui->lb->setScaledContents(true);
    ui->lb->installEventFilter(this);

    // A camera's control values are kept for it between runs; an unplugged
    // camera resumes by itself when it comes back; the list follows the cameras.
    SetDeviceProfiles(1);
    SetAutoReconnect(1);
    SetDeviceCallback(&MainWindow::deviceChanged);
    SetButtonCallback(&MainWindow::buttonPressed);
    // Every camera of a model at the desk; cameras outside velcap's models
    // only when the setting anyCamera asks for them.
    SetDeviceListing(QSettings("velcap", "velcapdesk").value("anyCamera", false).toBool() ? 2 : 1);

    isInited = false;
    fillDeviceList();
    if (ui->comboBoxDev->count() == 0) {
        QMessageBox::information(this, "提示", "未发现合适的设备!", QMessageBox::Ok);
    } else {
        SetVideoFormat(0);
        changeDevAndGetResolutions();
        restoreResolution();
        openOrFallBackToYuyv();
    }
    isInited = true;
    isResEnabled = true;
}

bool MainWindow::textLayerWanted() const {
    return ui->checkBox_ocr->isChecked();
}

bool MainWindow::bookMode() const {
    return ui->checkBox_book->isChecked();
}

int MainWindow::captureSpread(QString* spread) {
    if (cardFolder_.isEmpty()) return 1;
    *spread = cardFolder_ + "/" + timeStamp() + "-spread.jpg";
    const int captured = captureImage(spread->toUtf8().constData());
    if (captured == 0) QFile::setPermissions(*spread, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return captured;
}

MainWindow::~MainWindow() {
    saveSettings();
    textLayers_.waitForDone(); // documents being written are finished
    emptyFolder(cardFolder_);  // a front that waited for its back in vain
    SetDeviceCallback(nullptr);
    SetButtonCallback(nullptr);
    // After closeCamera no frame callback runs; only then is MW cleared.
    SetAutoCapture(0);
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
        const char* node = getCameraNode(ui->comboBoxDev->currentIndex());
        openNode_ = node ? QString::fromUtf8(node) : QString();
        return true;
    }
    return false;
}

void MainWindow::deviceChanged(int added, const char* node) {
    MainWindow* window = MW.load();
    if (!window) return;
    const QString which = QString::fromUtf8(node);
    QMetaObject::invokeMethod(
        window, [window, added, which] { window->onDeviceChanged(added != 0, which); }, Qt::QueuedConnection);
}

// The camera's own button, on a thread of the library: it photographs as Space does.
void MainWindow::buttonPressed(int key) {
    MainWindow* window = MW.load();
    if (!window || key != 0) return;
    QMetaObject::invokeMethod(
        window, [window] { window->takePicture(); }, Qt::QueuedConnection);
}

void MainWindow::onDeviceChanged(bool added, const QString& node) {
    if (!added && node == openNode_) showNoDevice();
    refreshDeviceList();
    // A camera plugged in while none was open is opened, as at start.
    if (added && !isOpenCamera && ui->comboBoxDev->count() > 0) {
        SetVideoFormat(0);
        isResEnabled = false;
        changeDevAndGetResolutions();
        restoreResolution();
        isResEnabled = true;
        openOrFallBackToYuyv();
    }
}

// Each camera by its name; two of a model also by their device nodes,
// which the list keeps to find the camera again when it changes.
void MainWindow::fillDeviceList() {
    QStringList names, nodes;
    for (int i = 0, count = getDeviceCount(); i < count; ++i) {
        const char* name = getCameraName(i);
        const char* node = getCameraNode(i);
        names << (name ? QString::fromUtf8(name) : QString());
        nodes << (node ? QString::fromUtf8(node) : QString());
    }
    for (int i = 0; i < names.size(); ++i)
        ui->comboBoxDev->addItem(names.count(names[i]) > 1 ? names[i] + " (" + nodes[i] + ")" : names[i], nodes[i]);
}

void MainWindow::refreshDeviceList() {
    const QString current = ui->comboBoxDev->currentData().toString();
    const bool inited = isInited;
    isInited = false; // the list changes; the open camera stays
    ui->comboBoxDev->clear();
    fillDeviceList();
    const int index = ui->comboBoxDev->findData(current);
    if (index >= 0) ui->comboBoxDev->setCurrentIndex(index);
    isInited = inited;
}

void MainWindow::showNoDevice() {
    const QSize size = ui->lb->contentsRect().size().expandedTo(QSize(320, 240));
    QPixmap dark(size);
    dark.fill(QColor(24, 24, 24));
    QPainter painter(&dark);
    QFont font = painter.font();
    font.setPixelSize(std::max(16, size.height() / 14));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(dark.rect(), Qt::AlignCenter, "未检测到设备");
    painter.end();
    ui->lb->setPixmap(dark);
}

void MainWindow::restoreSettings() {
    QSettings settings("velcap", "velcapdesk");
    const QString folder = settings.value("folder").toString();
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) ui->textEdit_path->setText(folder);
    const int format = settings.value("format", 0).toInt();
    if (format > 0 && format < ui->comboBox_format->count()) ui->comboBox_format->setCurrentIndex(format);
    ui->checkBox1->setChecked(settings.value("crop", false).toBool());
    ui->checkBox_quad->setChecked(settings.value("quad", false).toBool());
    ui->checkBox_2->setChecked(settings.value("whiten", false).toBool());
    ui->checkBox->setChecked(settings.value("blackEdge", false).toBool());
    ui->checkBox_auto->setChecked(settings.value("autoCapture", false).toBool());
    ui->checkBox_ocr->setChecked(settings.value("ocr", false).toBool());
    ui->checkBox_book->setChecked(settings.value("book", false).toBool());
    applyCaptureOptions();
    if (ui->checkBox_auto->isChecked()) on_checkBox_auto_clicked();
    RotateVal = std::clamp(settings.value("rotation", 0).toInt(), 0, 3);
    SetRotate(RotateVal);
    if (settings.contains("geometry")) restoreGeometry(settings.value("geometry").toByteArray());
}

void MainWindow::restoreResolution() {
    const QString saved = QSettings("velcap", "velcapdesk").value("resolution").toString();
    const int index = saved.isEmpty() ? -1 : ui->comboBoxRes->findText(saved);
    if (index >= 0) ui->comboBoxRes->setCurrentIndex(index);
}

void MainWindow::saveSettings() const {
    QSettings settings("velcap", "velcapdesk");
    settings.setValue("folder", ui->textEdit_path->text());
    settings.setValue("format", ui->comboBox_format->currentIndex());
    settings.setValue("crop", ui->checkBox1->isChecked());
    settings.setValue("quad", ui->checkBox_quad->isChecked());
    settings.setValue("whiten", ui->checkBox_2->isChecked());
    settings.setValue("blackEdge", ui->checkBox->isChecked());
    settings.setValue("ocr", ui->checkBox_ocr->isChecked());
    settings.setValue("book", ui->checkBox_book->isChecked());
    settings.setValue("autoCapture", ui->checkBox_auto->isChecked());
    if (!ui->comboBoxRes->currentText().isEmpty()) settings.setValue("resolution", ui->comboBoxRes->currentText());
    settings.setValue("rotation", RotateVal);
    settings.setValue("geometry", saveGeometry());
}

void MainWindow::checkScanner() {
    const QString base =
        QSettings("velcap", "velcapdesk").value("scannerUrl", "http://127.0.0.1:38088/eSCL").toString();
    QNetworkRequest request(QUrl(base + "/ScannerStatus"));
    request.setTransferTimeout(2000);
    QNetworkReply* reply = network_->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const QByteArray status = reply->readAll();
        const bool offered = reply->error() == QNetworkReply::NoError &&
                             reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                             status.contains("ScannerStatus");
        // Whoever sits at the desk sees when another machine photographs it.
        const QStringList machines = offered ? remoteScans(status) : QStringList();
        if (machines.isEmpty()) {
            scannerLabel_->setText(QString::fromUtf8("可作为扫描仪使用"));
            scannerLabel_->setStyleSheet(ui->label_company->styleSheet());
        } else {
            scannerLabel_->setText(QString::fromUtf8("正在为 %1 远程扫描").arg(machines.join(QString::fromUtf8("、"))));
            scannerLabel_->setStyleSheet("color: rgb(200, 30, 30); font-weight: bold;");
        }
        scannerLabel_->setVisible(offered);
        scannerTimer_.setInterval(offered ? kScannerWatch : kScannerCheck);
        scannerLabel_->setProperty("checks", scannerLabel_->property("checks").toInt() + 1);
    });
}

void MainWindow::postFrame(const unsigned char* pixels, int width, int height) {
    frameWidth_ = width;
    frameHeight_ = height;
    if (pendingFrames_.load() >= kMaxPendingFrames) return;
    ++pendingFrames_;
    // The label stretches what it shows to its size: the frame is brought to
    // that size here, once, so that the GUI thread converts only what it shows.
    const int labelWidth = labelWidth_, labelHeight = labelHeight_;
    const cv::Mat whole(height, width, CV_8UC3, const_cast<unsigned char*>(pixels), size_t(width) * 3);
    cv::Mat shown = whole;
    if (labelWidth > 0 && labelHeight > 0 && (labelWidth != width || labelHeight != height)) {
        // Area averaging by a whole factor (OpenCV's fast case), then the last
        // step to the label's size, so that every pixel of the frame counts.
        const int factor = std::max(1, std::min(width / labelWidth, height / labelHeight));
        if (factor > 1) {
            cv::resize(whole, reduced_, cv::Size(width / factor, height / factor), 0, 0, cv::INTER_AREA);
            cv::resize(reduced_, scaled_, cv::Size(labelWidth, labelHeight), 0, 0, cv::INTER_LINEAR);
        } else {
            // Less than twice the label's size (the library's reduced preview):
            // OpenCV's area averaging by a fraction costs more than the decode.
            cv::resize(whole, scaled_, cv::Size(labelWidth, labelHeight), 0, 0, cv::INTER_LINEAR);
        }
        shown = scaled_;
    }
    // A deep copy, since the library's buffer is reused after the callback
    // returns, made straight into the screen's own pixel format, so that the
    // GUI thread's pixmap takes it over without converting it again. Pixmaps
    // belong to the GUI thread; a window destroyed meanwhile drops the call.
    QImage frame(shown.cols, shown.rows, QImage::Format_RGB32);
    cv::Mat native(frame.height(), frame.width(), CV_8UC4, frame.bits(), size_t(frame.bytesPerLine()));
    cv::cvtColor(shown, native, cv::COLOR_RGB2BGRA);
    QMetaObject::invokeMethod(
        this,
        [this, frame = std::move(frame)]() mutable {
            --pendingFrames_;
            QPixmap pixmap = QPixmap::fromImage(std::move(frame));
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
    restoreResolution();
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
    // Space takes a picture, as the capture button does; a page of the
    // multi-page PDF once that dialog exists.
    if (event->key() == Qt::Key_Space) {
        takePicture();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::takePicture() {
    if (isPdfDlgOpen && pdfDlg)
        pdfDlg->on_Bt_capture_clicked();
    else
        ui->bt_capture->click();
}

void MainWindow::resizeEvent(QResizeEvent*) {}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->lb && event->type() == QEvent::Resize) {
        // Inside the frame the label draws around it.
        const QRect inside = ui->lb->contentsRect();
        labelWidth_ = inside.width();
        labelHeight_ = inside.height();
        // Frames come decoded no larger than the label needs: a fraction of the CPU for an 8-MP camera.
        SetPreviewSize(inside.width(), inside.height());
    }
    return QMainWindow::eventFilter(watched, event);
}

// Capture ---------------------------------------------------------------

void MainWindow::on_bt_capture_clicked() {
    if (!isOpenCamera) return;
    static const char* const kExtensions[] = {".jpg", ".bmp", ".png", ".tif", ".gif", ".pdf"};
    const int format = ui->comboBox_format->currentIndex();
    const QString ext = format >= 0 && format < 6 ? kExtensions[format] : ".jpg";
    const QString folder = ui->textEdit_path->text();

    if (bookMode()) {
        // The spread waits in the private folder; its pages come into the list when they are made.
        QString spread;
        const int captured = captureSpread(&spread);
        if (captured == 1) {
            QMessageBox::warning(this, "提示", "无法创建私有临时文件夹，不能使用书本模式。", QMessageBox::Ok);
            return;
        }
        if (captured != 0) {
            reportCaptureFailure(captured, folder + "/" + timeStamp() + ext);
            return;
        }
        addBookPages(spread);
        setFocus(Qt::OtherFocusReason);
        return;
    }

    if (ext == ".gif" || ext == ".pdf") {
        // The library writes a JPEG; a GIF name holds it, a PDF page is made of it.
        const QString jpgPath = folder + "/" + timeStamp() + ".jpg";
        const QString name = timeStamp() + ext;
        const QString path = folder + "/" + name;
        const int captured = captureImage(jpgPath.toUtf8().constData());
        if (captured != 0) {
            reportCaptureFailure(captured, jpgPath);
        } else if (ext == ".gif") {
            const QIcon icon{QPixmap(jpgPath)};
            if (std::rename(jpgPath.toUtf8().constData(), path.toUtf8().constData()) != 0)
                reportCaptureFailure(-4, path); // the JPEG stays, under its own name
            else
                addEntry(icon, name, path);
        } else if (ui->checkBox_ocr->isChecked()) {
            // The page's text is read off the GUI thread; the entry comes when the document is there.
            makeSearchablePdfLater(this, textLayers_, {jpgPath}, path, [this, jpgPath, name, path](bool written) {
                if (!written) {
                    reportCaptureFailure(-4, path);
                    return;
                }
                addEntry(jpgPath, name, path);
                if (isFile(jpgPath)) QFile::remove(jpgPath);
            });
        } else {
            if (pdf_start(path.toUtf8().constData()) != 0) {
                reportCaptureFailure(-4, path);
            } else {
                pdf_addPage(jpgPath.toUtf8().constData());
                if (pdf_end() != 0) {
                    reportCaptureFailure(-4, path);
                } else {
                    addEntry(jpgPath, name, path);
                    if (isFile(jpgPath)) QFile::remove(jpgPath);
                }
            }
        }
    } else {
        const QString name = timeStamp() + ext;
        const QString path = folder + "/" + name;
        const int captured = captureImage(path.toUtf8().constData());
        if (captured == 0)
            addEntry(path, name, path);
        else
            reportCaptureFailure(captured, path);
    }
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_bt_idcard_clicked() {
    if (!isOpenCamera) return;
    const QString folder = ui->textEdit_path->text();
    if (cardFolder_.isEmpty()) {
        QMessageBox::warning(this, "提示", "无法创建私有临时文件夹，不能进行身份证复印。", QMessageBox::Ok);
        return;
    }
    // The sides wait in the private folder until the copy is made of them.
    const QString side = cardFolder_ + "/" + timeStamp() + (idFront_.isEmpty() ? "-front" : "-back") + ".jpg";
    const int captured = captureImage(side.toUtf8().constData());
    if (captured != 0) {
        reportCaptureFailure(captured, side);
        return;
    }
    QFile::setPermissions(side, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (idFront_.isEmpty()) {
        idFront_ = side;
        ui->bt_idcard->setText("拍反面");
        ui->bt_idcard->setToolTip("请将证件翻面，再点击拍摄反面");
        return;
    }
    const QString front = idFront_;
    idFront_.clear();
    ui->bt_idcard->setText("身份证");
    ui->bt_idcard->setToolTip("身份证复印：先拍正面，翻面后再拍反面");
    ui->bt_idcard->setEnabled(false);
    const int format = ui->comboBox_format->currentIndex();
    const QString name = timeStamp() + (format == 5 ? ".pdf" : format == 2 ? ".png" : ".jpg");
    const QString path = folder + "/" + name;
    runLater(
        this, textLayers_,
        [front, side, path] {
            return MakeIdCardCopy(front.toUtf8().constData(), side.toUtf8().constData(), path.toUtf8().constData()) ==
                   0;
        },
        [this, front, side, name, path](bool written) {
            QFile::remove(front);
            QFile::remove(side);
            ui->bt_idcard->setEnabled(true);
            if (!written) {
                QMessageBox::warning(this, "提示", "未找到证件，请将证件平放在台面上重新拍摄。", QMessageBox::Ok);
                return;
            }
            if (path.endsWith(".pdf"))
                addEntry(QIcon(":/new/src/pdf.png"), name, path);
            else
                addEntry(path, name, path);
        });
}

// Why a capture wrote nothing, in words the user can act on.
QString MainWindow::captureFailureReason(int code, const QString& path) const {
    switch (code) {
    case -1:
        return "未打开摄像头。";
    case -2:
        return "摄像头没有及时送来画面，请重试。";
    case -3:
        return "摄像头已断开，请检查连接。";
    case -5:
        return "文件路径太长。";
    default:
        break;
    }
    const QFileInfo folder(QFileInfo(path).absolutePath());
    if (!folder.isDir()) return "保存文件夹不存在：" + folder.filePath();
    if (!folder.isWritable()) return "保存文件夹不可写：" + folder.filePath();
    const QStorageInfo disk(folder.filePath());
    if (disk.isValid() && disk.bytesAvailable() < 4 * 1024 * 1024) return "磁盘已满：" + disk.rootPath();
    return "文件无法写入：" + path;
}

void MainWindow::reportCaptureFailure(int code, const QString& path) {
    QMessageBox box(QMessageBox::Warning, "提示", "拍照失败！", QMessageBox::Ok, this);
    box.setInformativeText(captureFailureReason(code, path));
    box.exec();
}

void MainWindow::addEntry(const QString& picture, const QString& name, const QString& path) {
    addEntry(QIcon(QPixmap(picture)), name, path);
}

void MainWindow::addEntry(const QIcon& icon, const QString& name, const QString& path) {
    ui->listWidget1->addItem(filelist::entry(icon, name, path));
    ui->listWidget1->scrollToBottom();
}

void MainWindow::NotifyAddPdfFilePro(QString path, QString name) {
    addEntry(QIcon(":/new/src/pdf.png"), name, path);
}

void MainWindow::MenuEventPro() {
    connect(openAction, &QAction::triggered, this, &MainWindow::openCurrentEntry);
    connect(deleteAction, &QAction::triggered, this, &MainWindow::deleteCurrentEntry);
}

void MainWindow::openCurrentEntry() {
    filelist::openCurrent(ui->listWidget1);
}

void MainWindow::deleteCurrentEntry() {
    if (!filelist::deleteCurrent(ui->listWidget1))
        QMessageBox::warning(this, "提示", "删除失败！文件无法移到回收站。", QMessageBox::Ok);
}

void MainWindow::on_listWidget1_clicked(const QModelIndex&) {
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_listWidget1_doubleClicked(const QModelIndex&) {
    openCurrentEntry();
}

void MainWindow::on_BT_SelectPath_clicked() {
    // Opens at the save folder, where the user last chose to save.
    const QString start = ui->textEdit_path->text().isEmpty() ? QDir::homePath() : ui->textEdit_path->text();
    const QString folder = QFileDialog::getExistingDirectory(this, "选择目录", start, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return;
    ui->textEdit_path->setText(folder);
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_BT_OpenPath_clicked() {
    // The desktop's file manager through Qt: no shell sees the folder's name.
    const QString folder = ui->textEdit_path->text();
    if (!folder.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    setFocus(Qt::OtherFocusReason);
}

// Options, turns, focus, recognition ---------------------------------------

void MainWindow::on_checkBox1_clicked() {
    // 梯形校正 refines 自动裁切: it means something only with it (applyCaptureOptions).
    applyCutType();
}

void MainWindow::on_checkBox_quad_clicked() {
    applyCutType();
}

void MainWindow::applyCutType() {
    applyCaptureOptions();
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::applyCaptureOptions() {
    // Book mode finds, cuts and whitens the pages itself, from the whole
    // spread; the other options wait, unchanged, until it is off.
    const bool book = bookMode();
    for (QCheckBox* option : {ui->checkBox1, ui->checkBox_2, ui->checkBox}) option->setEnabled(!book);
    ui->checkBox_quad->setEnabled(!book && ui->checkBox1->isChecked());
    const bool crop = ui->checkBox1->isChecked();
    SetCutType(book || !crop ? 0 : ui->checkBox_quad->isChecked() ? 2 : 1);
    SetDelBackColor(!book && ui->checkBox_2->isChecked() ? 1 : 0);
    SetDelBlackedge(!book && ui->checkBox->isChecked() ? 1 : 0);
    // Auto-capture's spreads wait in the private folder, as JPEGs, for their pages to be made.
    SetFileFormat(book ? 0 : ui->comboBox_format->currentIndex());
    const QString folder = book && !cardFolder_.isEmpty() ? cardFolder_ : ui->textEdit_path->text();
    SetAutoCaptureFolder(folder.toUtf8().constData());
}

void MainWindow::on_checkBox_book_clicked() {
    applyCaptureOptions();
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::addBookPages(const QString& spread) {
    static const char* const kExtensions[] = {".jpg", ".bmp", ".png", ".tif", ".gif", ".pdf"};
    const int format = ui->comboBox_format->currentIndex();
    const QString ext = format >= 0 && format < 6 ? kExtensions[format] : ".jpg";
    const QString out = ui->textEdit_path->text() + "/" + timeStamp() + ext;
    makeBookPagesLater(this, textLayers_, spread, out, textLayerWanted(), [this](const QStringList& pages) {
        if (pages.isEmpty()) {
            QMessageBox::warning(this, "提示", "未找到书本，请将书本摊开平放在台面上重新拍摄。", QMessageBox::Ok);
            return;
        }
        for (const QString& page : pages) {
            if (page.endsWith(".pdf"))
                addEntry(QIcon(":/new/src/pdf.png"), QFileInfo(page).fileName(), page);
            else
                addEntry(page, QFileInfo(page).fileName(), page);
        }
    });
}

void MainWindow::on_checkBox_2_clicked() {
    applyCaptureOptions();
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_checkBox_auto_clicked() {
    SetAutoCaptureCallback(&MainWindow::autoCaptured);
    SetAutoCapture(ui->checkBox_auto->isChecked() ? 1 : 0);
}

void MainWindow::autoCaptured(const char* path) {
    MainWindow* window = MW.load();
    if (!window) return;
    const QString file = QString::fromUtf8(path);
    // The entry is made on the GUI thread; a window destroyed meanwhile drops the call.
    QMetaObject::invokeMethod(
        window,
        [window, file] {
            // A book's spread, in the private folder: its pages are what the user gets.
            if (!window->cardFolder().isEmpty() && QFileInfo(file).absolutePath() == window->cardFolder())
                window->addBookPages(file);
            else
                window->addEntry(file, QFileInfo(file).fileName(), file);
        },
        Qt::QueuedConnection);
}

void MainWindow::on_checkBox_clicked() {
    applyCaptureOptions();
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_comboBox_format_currentIndexChanged(int) {
    applyCaptureOptions();
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_pushButton_8_clicked() {
    RotateVal = RotateVal - 1 < 0 ? 3 : RotateVal - 1;
    SetRotate(RotateVal);
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_pushButton_9_clicked() {
    RotateVal = RotateVal + 1 > 3 ? 0 : RotateVal + 1;
    SetRotate(RotateVal);
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_pushButton_5_clicked() {
    ManualFocusEx();
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::recognise(int type, const char* title, const char* none) {
    if (!isOpenCamera) return;
    SetRecogEnhanced(1); // reads codes under a desk lamp's uneven light, with noise or of small modules
    const char* result = RecogBarQrCode(type);
    const QString text = result ? QString::fromUtf8(result) : QString();
    if (!text.isEmpty())
        QMessageBox::information(this, title, text, QMessageBox::Ok);
    else
        QMessageBox::information(this, "提示", none, QMessageBox::Ok);
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_pushButton_6_clicked() {
    recognise(0, "条码内容：", "未识别到条码内容！");
}

void MainWindow::on_pushButton_7_clicked() {
    recognise(1, "二维码内容：", "未识别到二维码内容！");
}

void MainWindow::on_Bt_Params_clicked() {
    if (isParamDlgOpen && paramDlg) {
        paramDlg->show();
    } else {
        paramDlg = new ParamDlg(this);
        paramDlg->show();
        isParamDlgOpen = true;
    }
    setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_pushButton_clicked() {
    pdfSavePath = ui->textEdit_path->text();
    if (isPdfDlgOpen && pdfDlg) {
        pdfDlg->show();
    } else {
        pdfDlg = new multiPdfDlg(this);
        pdfDlg->show();
        isPdfDlgOpen = true;
    }
    setFocus(Qt::OtherFocusReason);
}
