// The main window on the virtual cameras: start-up, camera and resolution
// choice, the live preview and shutdown. Runs with QT_QPA_PLATFORM=offscreen
// under umockdev-wrapper.
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "decode/jpeg_scaled.h"

#include <QApplication>
#include <QComboBox>
#include <QDesktopWidget>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <opencv2/imgproc.hpp>

#include "decode/jpeg_scaled.h"

#include "compat/state.h"
#include "mainwindow.h"
#include "testbed.h"
#include "ui_mainwindow.h"
#include "vcam.h"
#include "window_test.h"

using velcap::test::documentCamera;
using velcap::test::items;
using velcap::test::MessageBoxCatcher;

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<vcam::Testbed> testbed_;
    std::unique_ptr<MainWindow> window_;

    void present(const vcam::Description& d) {
        window_.reset();
        closeCamera();
        deviceCount = 0;
        testbed_->present(d);
    }
    MainWindow* start(const vcam::Description& d) {
        present(d);
        window_ = std::make_unique<MainWindow>();
        window_->show();
        return window_.get();
    }
    // Waits for a preview of the camera's frames of this size: they come
    // reduced as far as they still cover the label, which shows them at its own size.
    bool waitForPreview(int width, int height) {
        return QTest::qWaitFor(
            [&] {
                const QPixmap p = window_->ui->lb->pixmap(Qt::ReturnByValue);
                const QSize label = window_->ui->lb->contentsRect().size();
                const int reduction = velcap::coveringReduction(width, height, label.width(), label.height());
                return !p.isNull() &&
                       window_->lastFrameSize() ==
                           QSize(velcap::reducedSide(width, reduction), velcap::reducedSide(height, reduction)) &&
                       p.size() == label;
            },
            15000);
    }

private slots:
    void initTestCase() { testbed_ = std::make_unique<vcam::Testbed>(); }
    void init() { velcap::test::freshSettings(); }
    void cleanup() { window_.reset(); }
    void cleanupTestCase() { testbed_.reset(); }

    void noCameraSaysSoAndOpensNothing() {
        present(vcam::Description{});
        MessageBoxCatcher catcher;
        catcher.arm();
        window_ = std::make_unique<MainWindow>();
        QCOMPARE(catcher.seen, 1);
        QCOMPARE(catcher.title, QString("提示"));
        QCOMPARE(catcher.text, QString("未发现合适的设备!"));
        QCOMPARE(window_->ui->comboBoxDev->count(), 0);
        QCOMPARE(window_->ui->comboBoxRes->count(), 0);
        QVERIFY(!isOpenCamera);
        QVERIFY(!bKeep);
    }

    void startUpListsTheCameraAndShowsItsPicture() {
        MainWindow* w = start(vcam::Description{{documentCamera()}});
        QCOMPARE(items(w->ui->comboBoxDev), QStringList{" DocCam S8"});
        QCOMPARE(items(w->ui->comboBoxRes),
                 (QStringList{"640*480", "1280*720", "1920*1080", "2592*1944", "3264*2448", "3672*2856"}));
        QCOMPARE(w->ui->comboBoxRes->currentText(), QString("3672*2856")); // the tallest
        QVERIFY(isOpenCamera);
        QVERIFY(bKeep);
        QCOMPARE(QString(pix_format), QString("MJPG"));
        QVERIFY(isInsert1000M);
        QVERIFY(waitForPreview(3264, 2448));
        QCOMPARE(items(w->ui->comboBox_format), (QStringList{"jpg", "bmp", "png", "tif", "gif", "pdf"}));
        QVERIFY(w->ui->pushButton_6->isHidden());
        QVERIFY(w->ui->pushButton_7->isHidden());
        QCOMPARE(w->windowTitle(), QString("Orvida高拍仪"));
        QVERIFY(w->ui->label_company->text().contains("href="));
    }

    // Beside the company's name while velcapd answers eSCL, not otherwise.
    void saysWhenVelcapdOffersTheCameraToScanners() {
        QTcpServer velcapd;
        QVERIFY(velcapd.listen(QHostAddress::LocalHost));
        QString asked;
        QByteArray body = "<scan:ScannerStatus><pwg:State>Idle</pwg:State></scan:ScannerStatus>";
        connect(&velcapd, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* client = velcapd.nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, client, [client, &asked, &body] {
                asked = QString::fromLatin1(client->readAll()).section("\r\n", 0, 0);
                client->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
                client->disconnectFromHost();
            });
        });
        const QString url = QString("http://127.0.0.1:%1/eSCL").arg(velcapd.serverPort());
        QSettings("velcap", "velcapdesk").setValue("scannerUrl", url);
        MainWindow* w = start(vcam::Description{{documentCamera()}});
        auto* label = w->findChild<QLabel*>("label_scanner");
        QVERIFY(label);
        QTRY_VERIFY_WITH_TIMEOUT(!label->isHidden(), 10000);
        QCOMPARE(label->text(), QString("可作为扫描仪使用"));
        QCOMPARE(asked, QString("GET /eSCL/ScannerStatus HTTP/1.1"));
        // Another machine scans: the desk is told which, for as long as it runs;
        // an old remote job and the local user's own are not news.
        const auto job = [](const char* peer, const char* state, int age) {
            return QByteArray("<scan:JobInfo><scan:Age>") + QByteArray::number(age) + "</scan:Age><pwg:JobState>" +
                   state + "</pwg:JobState>" + (peer ? QByteArray("<velcap:Peer>") + peer + "</velcap:Peer>" : "") +
                   "</scan:JobInfo>";
        };
        body = "<scan:ScannerStatus xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
               "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\" "
               "xmlns:velcap=\"urn:velcap:escl\"><pwg:State>Processing</pwg:State><scan:Jobs>" +
               job("192.168.1.5", "Processing", 2) + job("192.168.1.9", "Completed", 200) +
               job(nullptr, "Processing", 1) + "</scan:Jobs></scan:ScannerStatus>";
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QString("正在为 192.168.1.5 远程扫描"), 10000);
        body = "<scan:ScannerStatus><pwg:State>Idle</pwg:State></scan:ScannerStatus>";
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QString("可作为扫描仪使用"), 10000);

        velcapd.close(); // no velcapd there any more
        w = start(vcam::Description{{documentCamera()}});
        label = w->findChild<QLabel*>("label_scanner");
        QTRY_VERIFY_WITH_TIMEOUT(label->property("checks").toInt() > 0, 10000);
        QVERIFY(label->isHidden());
    }

    void refusedMjpegFallsBackToYuyv() {
        vcam::Camera c = documentCamera();
        c.faults.refusedFourcc = vcam::fourcc("MJPG");
        MainWindow* w = start(vcam::Description{{c}});
        QCOMPARE(items(w->ui->comboBoxRes),
                 (QStringList{"640*480", "1280*720", "1600*1200", "3264*2448", "3672*2856"}));
        QVERIFY(isOpenCamera);
        QCOMPARE(QString(pix_format), QString("YUYV"));
        QVERIFY(waitForPreview(3264, 2448));
    }

    void anotherResolutionReopensAtThatSize() {
        MainWindow* w = start(vcam::Description{{documentCamera()}});
        QVERIFY(waitForPreview(3264, 2448));
        w->ui->comboBoxRes->setCurrentIndex(0);
        QCOMPARE(nWidth, 640);
        QCOMPARE(nHeight, 480);
        QVERIFY(bKeep);
        QVERIFY(isOpenCamera);
        QVERIFY(waitForPreview(640, 480));
        QVERIFY(!isInsert1000M);
    }

    void thePreviewIsTheFrameAtTheLabelsSize() {
        MainWindow* w = start(vcam::Description{{documentCamera()}});
        QVERIFY(waitForPreview(3264, 2448));
        const QImage shown = w->ui->lb->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB888);
        const cv::Mat picture(shown.height(), shown.width(), CV_8UC3, const_cast<uchar*>(shown.bits()),
                              size_t(shown.bytesPerLine()));
        cv::Mat expected;
        cv::resize(vcam::renderScene(3264, 2448), expected, picture.size(), 0, 0, cv::INTER_AREA);
        // Below the frame counter's rows, the same picture.
        const int strip = int(std::ceil(vcam::counterStripHeight(2448) * picture.rows / 2448.0)) + 1;
        cv::Mat diff;
        cv::absdiff(picture.rowRange(strip, picture.rows), expected.rowRange(strip, picture.rows), diff);
        const cv::Scalar mean = cv::mean(diff);
        QVERIFY2((mean[0] + mean[1] + mean[2]) / 3 < 4.0, qPrintable(QString::number(mean[0])));
    }

    void windowIsCentredAtItsSize() {
        MainWindow* w = start(vcam::Description{{documentCamera()}});
        QCOMPARE(w->size(), QSize(1000, 660));
        const QRect desktop = QApplication::desktop()->geometry();
        QCOMPARE(w->pos(), QPoint((desktop.width() - 1000) / 2, (desktop.height() - 660) / 2));
    }

    void framesDoNotPileUpBehindABusyWindow() {
        MainWindow* w = start(vcam::Description{{documentCamera()}});
        w->ui->comboBoxRes->setCurrentIndex(0); // 640 x 480 at 30 frames a second
        QVERIFY(waitForPreview(640, 480));
        // The GUI thread stops handling events for a second: about 30 frames arrive.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        QVERIFY(w->pendingFrames() <= 3);
        QVERIFY(QTest::qWaitFor([&] { return w->pendingFrames() == 0 || w->pendingFrames() == 1; }, 5000));
        QVERIFY(waitForPreview(640, 480));
    }

    void spaceActsAsTheCaptureButton() {
        MainWindow* w = start(vcam::Description{{documentCamera()}});
        QTemporaryDir folder; // the capture it makes goes there
        w->ui->textEdit_path->setText(folder.path());
        QSignalSpy clicks(w->ui->bt_capture, &QToolButton::clicked);
        w->setFocus();
        QTest::keyClick(w, Qt::Key_Space);
        QCOMPARE(clicks.count(), 1);
    }

    void twoOfAModelAreBothInTheListByNode() {
        vcam::Camera first = documentCamera(), second = documentCamera();
        second.node = 4;
        second.bus = "usb-0000:00:14.0-2";
        MainWindow* w = start(vcam::Description{{first, second}});
        QCOMPARE(w->ui->comboBoxDev->count(), 2);
        QCOMPARE(w->ui->comboBoxDev->itemText(1),
                 QString(" DocCam S8 (/dev/video4)")); // the card name as the library gives it
        QCOMPARE(w->ui->comboBoxDev->itemData(1).toString(), QString("/dev/video4"));
    }

    void theCamerasButtonActsAsTheCaptureButton() {
        vcam::Camera camera = documentCamera();
        camera.button = true;
        camera.buttonAfter = 20;
        MainWindow* w = start(vcam::Description{{camera}});
        QTemporaryDir folder;
        w->ui->textEdit_path->setText(folder.path());
        QSignalSpy clicks(w->ui->bt_capture, &QToolButton::clicked);
        QVERIFY(QTest::qWaitFor([&] { return clicks.count() == 1; }, 20000));
    }

    void closingTheWindowClosesTheCamera() {
        start(vcam::Description{{documentCamera()}});
        QVERIFY(bKeep);
        window_.reset();
        QVERIFY(!bKeep);
        QCOMPARE(cam_fd, -1);
        QVERIFY(MW.load() == nullptr);
        QVERIFY(!isOpenCamera);
        QVERIFY(srcimage.empty());
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
