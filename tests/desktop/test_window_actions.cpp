// The main window's actions on the virtual camera: photographs in every
// format with their list entries, the list's menu, the save folder, the
// capture options, the turns, focus, recognition and the video parameter
// dialog. Runs with QT_QPA_PLATFORM=offscreen under umockdev-wrapper.
#include <memory>

#include <linux/videodev2.h>

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>

#include "compat/state.h"
#include "mainwindow.h"
#include "paramdlg.h"
#include "qt_texts.h"
#include "support/made_up_card.h"
#include "testbed.h"
#include "ui_mainwindow.h"
#include "ui_paramdlg.h"
#include "vcam.h"
#include "window_test.h"

using velcap::test::MessageBoxCatcher;

// Receives the URLs that the window hands to the desktop.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

class WindowActionsTest : public QObject, velcap::test::WindowFixture {
    Q_OBJECT

private:
    UrlCatcher urls_;

    static QByteArray head(const QString& path, int bytes) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.read(bytes) : QByteArray();
    }

private slots:
    void initTestCase() {
        testbed_ = std::make_unique<vcam::Testbed>();
        QDesktopServices::setUrlHandler("file", &urls_, "open");
    }
    void init() { urls_.urls.clear(); }
    void cleanup() {
        window_.reset();
        SetAutoCapture(0);
        SetCutType(0);
        SetDelBackColor(0);
        SetDelBlackedge(0);
        SetRotate(0);
        RotateVal = 0;
    }
    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler("file");
        testbed_.reset();
    }

    void everyFormatGivesAFileAndAnEntryWithAThumbnail() {
        MainWindow* w = start(0);
        const QStringList formats{"jpg", "bmp", "png", "tif", "gif", "pdf"};
        for (int i = 0; i < formats.size(); ++i) {
            w->ui->comboBox_format->setCurrentIndex(i);
            QCOMPARE(GetFileFormat(), i);
            w->ui->bt_capture->click();
            QCOMPARE(w->ui->listWidget1->count(), i + 1);
            const QListWidgetItem* entry = w->ui->listWidget1->item(i);
            const QString path = entry->data(Qt::ToolTipRole).toString();
            QVERIFY2(path.endsWith("." + formats[i]), qPrintable(path));
            QCOMPARE(path, folder_->path() + "/" + entry->text());
            QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
            QVERIFY2(!entry->icon().pixmap(120, 160).isNull(), qPrintable("no thumbnail for " + formats[i]));
            // The window after three photographs, for the README, when asked for.
            const QByteArray shots = qgetenv("VELCAP_SCREENSHOTS");
            if (i == 2 && !shots.isEmpty()) w->grab().save(QString(shots) + "/velcapdesk-captures.png");
        }
        // Only the files of the entries: no JPEG left over by the GIF and PDF captures.
        QCOMPARE(files().size(), formats.size());
        const QString gif = w->ui->listWidget1->item(4)->data(Qt::ToolTipRole).toString();
        QCOMPARE(head(gif, 2), QByteArray("\xff\xd8", 2));
        const QString pdf = w->ui->listWidget1->item(5)->data(Qt::ToolTipRole).toString();
        QCOMPARE(pdfPages(pdf), 1);
        for (int i : {0, 1, 2, 3})
            QCOMPARE(QImage(w->ui->listWidget1->item(i)->data(Qt::ToolTipRole).toString()).size(), QSize(640, 480));
    }

    void autoCaptureListsThePageOnce() {
        MainWindow* w = start(0);
        QCOMPARE(w->ui->checkBox_auto->text(), QString("自动拍照"));
        w->ui->comboBox_format->setCurrentIndex(2);
        w->ui->checkBox_auto->click();
        // The page lies still: it is photographed once, into the save folder, and listed.
        QVERIFY(QTest::qWaitFor([&] { return w->ui->listWidget1->count() == 1; }, 10000));
        const QListWidgetItem* entry = w->ui->listWidget1->item(0);
        const QString path = entry->data(Qt::ToolTipRole).toString();
        QCOMPARE(path, folder_->path() + "/" + entry->text());
        QVERIFY2(path.endsWith(".png") && QFileInfo(path).isFile(), qPrintable(path));
        QVERIFY(!entry->icon().pixmap(120, 160).isNull());
        QTest::qWait(1500);
        QCOMPARE(w->ui->listWidget1->count(), 1);
        w->ui->checkBox_auto->click();
        QCOMPARE(files().size(), 1);
    }

    // 书本模式: the open book's two pages, in the chosen format, in place of
    // the photograph, which waited in the private folder only; the other
    // options wait meanwhile. Auto-capture gives each new spread's pages once.
    void bookModeGivesTheTwoPages() {
        MainWindow* w = start(1, false, {}, [](vcam::Camera& c) { c.look.book = "spread"; });
        QCOMPARE(w->ui->checkBox_book->text(), QString("书本模式"));
        w->ui->checkBox1->click();
        QCOMPARE(cutType.load(), 1);
        w->ui->checkBox_book->click();
        QCOMPARE(cutType.load(), 0);
        QVERIFY(!w->ui->checkBox1->isEnabled() && !w->ui->checkBox_quad->isEnabled());
        for (int format : {1, 5}) { // bmp, pdf
            w->ui->comboBox_format->setCurrentIndex(format);
            QCOMPARE(GetFileFormat(), 0); // auto-capture's spreads are JPEGs
            const int before = w->ui->listWidget1->count();
            w->ui->bt_capture->click();
            QTRY_COMPARE_WITH_TIMEOUT(w->ui->listWidget1->count(), before + (format == 5 ? 1 : 2), 30000);
        }
        QCOMPARE(files(), QStringList({}) << w->ui->listWidget1->item(0)->text() << w->ui->listWidget1->item(1)->text()
                                          << w->ui->listWidget1->item(2)->text());
        for (int i : {0, 1}) {
            const QString page = w->ui->listWidget1->item(i)->data(Qt::ToolTipRole).toString();
            QVERIFY2(page.endsWith(i == 0 ? "-001.bmp" : "-002.bmp"), qPrintable(page));
            const QImage picture(page);
            QVERIFY2(picture.height() > picture.width() && picture.height() > 700, qPrintable(page)); // a page, upright
        }
        QCOMPARE(pdfPages(w->ui->listWidget1->item(2)->data(Qt::ToolTipRole).toString()), 2);
        QVERIFY(QDir(w->cardFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
        w->ui->checkBox_book->click();
        QCOMPARE(cutType.load(), 1);
        QCOMPARE(GetFileFormat(), 5);
        QVERIFY(w->ui->checkBox1->isEnabled() && w->ui->checkBox_quad->isEnabled());

        // Leafing through: two spreads, each page turned by hand.
        w = start(1, false, {}, [](vcam::Camera& c) {
            c.look.book = "spread";
            c.pageCount = 2;
            c.pageSeconds = 2.5;
        });
        w->ui->checkBox_book->click();
        w->ui->checkBox_auto->click();
        QTRY_COMPARE_WITH_TIMEOUT(w->ui->listWidget1->count(), 4, 60000);
        QCOMPARE(files("*.jpg").size(), 4);
        auto page = [&](int i) { return QImage(w->ui->listWidget1->item(i)->data(Qt::ToolTipRole).toString()); };
        QVERIFY(page(0) != page(2) && page(1) != page(3)); // the second spread, not the first again
        w->ui->checkBox_auto->click();
        w->textLayers().waitForDone();
        QVERIFY(QDir(w->cardFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }

    void aFailedCaptureSaysSoAndListsNothing() {
        MainWindow* w = start(0);
        w->ui->textEdit_path->setText(folder_->path() + "/missing");
        for (int format : {0, 5}) {
            w->ui->comboBox_format->setCurrentIndex(format);
            MessageBoxCatcher catcher;
            catcher.arm();
            w->ui->bt_capture->click();
            QCOMPARE(catcher.title, QString("提示"));
            QCOMPARE(catcher.text, QString("拍照失败！"));
            QCOMPARE(catcher.icon, QMessageBox::Warning);
            QVERIFY2(catcher.informativeText.startsWith("保存文件夹不存在"), qPrintable(catcher.informativeText));
        }
        QCOMPARE(w->ui->listWidget1->count(), 0);
    }

    void openDeleteAndDoubleClick() {
        MainWindow* w = start(0);
        w->ui->bt_capture->click();
        w->ui->bt_capture->click();
        QCOMPARE(w->ui->listWidget1->count(), 2);
        const QString first = w->ui->listWidget1->item(0)->data(Qt::ToolTipRole).toString();
        const QString second = w->ui->listWidget1->item(1)->data(Qt::ToolTipRole).toString();

        w->ui->listWidget1->setCurrentRow(0);
        w->openAction->trigger();
        const QRect cell = w->ui->listWidget1->visualItemRect(w->ui->listWidget1->item(1));
        // A double click is a press, then a second press that the view reports.
        QTest::mousePress(w->ui->listWidget1->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseRelease(w->ui->listWidget1->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(w->ui->listWidget1->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(urls_.urls, (QList<QUrl>{QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));

        // 删除 moves the file to the trash, where the user finds it again.
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder_->path() + "/data"));
        w->ui->listWidget1->setCurrentRow(0);
        w->deleteAction->trigger();
        QCOMPARE(w->ui->listWidget1->count(), 1);
        QVERIFY(!QFile::exists(first));
        QVERIFY(velcap::test::inTrash(first));
        // Long names lose their middle, never their end: the entry fits the list.
        QCOMPARE(w->ui->listWidget1->textElideMode(), Qt::ElideMiddle);
        const QRect entry = w->ui->listWidget1->visualItemRect(w->ui->listWidget1->item(0));
        QVERIFY2(entry.right() < w->ui->listWidget1->viewport()->width(), qPrintable(QString::number(entry.right())));
        QVERIFY(QFile::exists(second));
        // With no current entry, nothing happens.
        w->ui->listWidget1->setCurrentRow(-1);
        w->deleteAction->trigger();
        QCOMPARE(w->ui->listWidget1->count(), 1);
    }

    void theSaveFolder() {
        MainWindow* w = start(0);
        const QString before = w->ui->textEdit_path->text();
        QTimer::singleShot(200, [] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) dialog->reject();
        });
        w->ui->BT_SelectPath->click();
        QCOMPARE(w->ui->textEdit_path->text(), before);

        // Blanks, quotes, a command substitution and Chinese: opened as it is, nothing run.
        const QString odd = folder_->path() + "/a b 'c' $(touch PWNED) 文件夹";
        QVERIFY(QDir().mkpath(odd));
        w->ui->textEdit_path->setText(odd);
        w->ui->BT_OpenPath->click();
        QCOMPARE(urls_.urls, QList<QUrl>{QUrl::fromLocalFile(odd)});
        QVERIFY(!QFile::exists("PWNED"));
        QVERIFY(!QFile::exists(folder_->path() + "/PWNED"));
        w->ui->bt_capture->click();
        QCOMPARE(QDir(odd).entryList(QDir::Files).size(), 1);
    }

    void theOptionsReachTheLibrary() {
        MainWindow* w = start(0);
        QCOMPARE(w->ui->checkBox_quad->text(), QString("梯形校正"));
        QVERIFY(!w->ui->checkBox_quad->isEnabled()); // only with 自动裁切
        w->ui->checkBox1->click();
        QCOMPARE(cutType.load(), 1);
        QVERIFY(w->ui->checkBox_quad->isEnabled());
        w->ui->checkBox_quad->click();
        QCOMPARE(cutType.load(), 2);
        w->ui->checkBox1->click(); // no cropping at all, whatever 梯形校正 says
        QCOMPARE(cutType.load(), 0);
        QVERIFY(!w->ui->checkBox_quad->isEnabled());
        w->ui->checkBox1->click();
        QCOMPARE(cutType.load(), 2);
        w->ui->checkBox_quad->click();
        QCOMPARE(cutType.load(), 1);
        w->ui->checkBox1->click();
        QCOMPARE(cutType.load(), 0);
        w->ui->checkBox_2->click();
        QCOMPARE(isDelBcakColor.load(), 1);
        w->ui->checkBox->click();
        QCOMPARE(isDelBlackedge.load(), 1);
        w->ui->comboBox_format->setCurrentIndex(3);
        QCOMPARE(fileFormat.load(), 3);

        // Four turns left from the start: 3, 2, 1, 0; right from 3 is 0.
        for (int expected : {3, 2, 1, 0}) {
            w->ui->pushButton_8->click();
            QCOMPARE(RotateAngle.load(), expected);
        }
        w->ui->pushButton_8->click();
        w->ui->pushButton_9->click();
        QCOMPARE(RotateAngle.load(), 0);
        // A quarter turn stands the preview upright.
        w->ui->pushButton_9->click();
        QVERIFY(QTest::qWaitFor([&] { return w->lastFrameSize().height() > w->lastFrameSize().width(); }, 5000));
    }

    void settingsComeBackInTheNextRun() {
        MainWindow* w = start(1);
        w->ui->comboBox_format->setCurrentIndex(2);
        w->ui->checkBox1->click();
        w->ui->checkBox_quad->click();
        w->ui->checkBox_2->click();
        w->ui->pushButton_9->click();
        const QString folder = folder_->path();
        window_.reset(); // the program ends
        SetCutType(0);
        SetDelBackColor(0);
        SetRotate(0);
        RotateVal = 0;

        w = start(0, true);
        QCOMPARE(w->ui->textEdit_path->text(), folder);
        QCOMPARE(w->ui->comboBox_format->currentIndex(), 2);
        QCOMPARE(fileFormat.load(), 2);
        QVERIFY(w->ui->checkBox_quad->isEnabled());
        QCOMPARE(cutType.load(), 2);
        QCOMPARE(isDelBcakColor.load(), 1);
        QCOMPARE(RotateAngle.load(), 1);
        QCOMPARE(w->ui->comboBoxRes->currentText(), QString("1920*1080"));
        QCOMPARE(nWidth, 1920);
    }

    void anUnpluggedCameraSaysSoAndComesBack() {
        MainWindow* w = start(0);
        auto centre = [&] {
            const QImage shown = preview().toImage();
            return shown.isNull() ? -1 : qGray(shown.pixel(shown.width() / 2, shown.height() / 2));
        };
        QVERIFY(QTest::qWaitFor([&] { return centre() > 120; }, 5000)); // the page
        vcam::unplug(0);
        QVERIFY(QTest::qWaitFor([&] { return w->ui->comboBoxDev->count() == 0; }, 10000));
        const QImage dark = preview().toImage();
        QVERIFY(qGray(dark.pixel(2, 2)) < 40);
        int lettering = 0; // the words over the dark frame
        for (int x = 0; x < dark.width(); ++x) lettering += qGray(dark.pixel(x, dark.height() / 2)) > 200;
        QVERIFY(lettering > 0);

        vcam::replug(0);
        QVERIFY(QTest::qWaitFor([&] { return w->ui->comboBoxDev->count() == 1; }, 10000));
        QVERIFY(QTest::qWaitFor([&] { return centre() > 120; }, 10000)); // the same camera, by itself
        QCOMPARE(nWidth, 640);
    }

    void focusRestartsTheAutofocus() {
        MainWindow* w = start(0);
        const uint64_t writes = vcam::controls(0).writes;
        w->ui->pushButton_5->click();
        QCOMPARE(vcam::controls(0).writes, writes + 2);
        for (const vcam::Control& c : vcam::controls(0).controls)
            if (c.id == V4L2_CID_FOCUS_AUTO) QCOMPARE(c.value, 1);
    }

    void theHiddenRecognitionButtonsReadTheScene() {
        MainWindow* w = start(1);
        QVERIFY(w->ui->pushButton_6->isHidden());
        MessageBoxCatcher catcher;
        catcher.arm();
        w->ui->pushButton_7->click();
        QCOMPARE(catcher.title, QString("二维码内容："));
        QCOMPARE(catcher.text, QString(vcam::kSceneQrText));
        catcher.arm();
        w->ui->pushButton_6->click();
        QCOMPARE(catcher.title, QString("条码内容："));
        QCOMPARE(catcher.text, QString(vcam::kSceneEan13));
    }

    // 身份证: front, then back, and the copy on A4 joins the list; the sides go.
    void anIdCardCopyTakesTwoClicks() {
        const QString scene = QDir::tempPath() + "/velcap-card-scene.png";
        cv::imwrite(scene.toStdString(), velcap::test::onDesk(velcap::test::madeUpCard(true), {45, 42, 40}, 15));
        MainWindow* w = start(0, false, scene.toStdString()); // 4:3, as the scene
        QString failure;                                      // a box saying no card was found, closed
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                failure = box->text();
                box->accept();
            }
        });
        closer.start(50);
        w->ui->bt_idcard->click();
        QCOMPARE(w->ui->bt_idcard->text(), QString("拍反面"));
        // The front waits in the private folder, the user's alone; the save folder has nothing of it.
        const QStringList waiting = QDir(w->cardFolder()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(waiting.size(), 1);
        QCOMPARE(QFileInfo(w->cardFolder()).permissions() & 0x0777, QFileDevice::Permissions(0x0700));
        QCOMPARE(QFileInfo(w->cardFolder() + "/" + waiting[0]).permissions() & 0x0777,
                 QFileDevice::Permissions(0x0600));
        QVERIFY(QDir(folder_->path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
        w->ui->bt_idcard->click();
        QVERIFY(!w->ui->bt_idcard->isEnabled()); // the card is being found off the GUI thread
        QTRY_VERIFY_WITH_TIMEOUT(w->ui->listWidget1->count() == 1 || !failure.isEmpty(), 20000);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString copy = w->ui->listWidget1->item(0)->data(Qt::ToolTipRole).toString();
        QCOMPARE(QImage(copy).size(), QSize(2480, 3508));
        QCOMPARE(QDir(folder_->path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        QVERIFY(w->ui->bt_idcard->isEnabled());
        QCOMPARE(w->ui->bt_idcard->text(), QString("身份证"));
        QVERIFY(QDir(w->cardFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());

        // A front that never got its back goes with the window; a crash's, at the next start.
        w->ui->bt_idcard->click();
        QCOMPARE(QDir(w->cardFolder()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        const QString cards = w->cardFolder();
        window_.reset();
        QVERIFY(QDir(cards).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QFile left(cards + "/left-front.jpg");
        QVERIFY(left.open(QIODevice::WriteOnly));
        left.close();
        w = start(0, false, scene.toStdString());
        QVERIFY(QDir(cards).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QFile::remove(scene);
    }

    void theParameterDialog() {
        MainWindow* w = start(0);
        QCOMPARE(SetVideoCtlParam(0, 10), 0);
        const uint64_t writes = vcam::controls(0).writes;
        w->ui->Bt_Params->click();
        ParamDlg* dialog = w->paramDlg;
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(vcam::controls(0).writes, writes); // opening writes nothing
        QCOMPARE(dialog->windowTitle(), QString("参数设置"));
        QCOMPARE(dialog->ui->BrightSlider->minimum(), -64);
        QCOMPARE(dialog->ui->BrightSlider->maximum(), 64);
        QCOMPARE(dialog->ui->BrightSlider->value(), 10);
        QCOMPARE(dialog->ui->lb_bright->text(), QString("10"));
        QCOMPARE(dialog->ui->ContrastSlider->maximum(), 95);
        QCOMPARE(dialog->ui->ContrastSlider->value(), 32);
        QCOMPARE(dialog->ui->HunSlider->minimum(), -2000);

        // A slider's move changes the camera and its picture.
        const double before = meanGrey(preview());
        dialog->ui->BrightSlider->setValue(64);
        QCOMPARE(dialog->ui->lb_bright->text(), QString("64"));
        QVERIFY(QTest::qWaitFor([&] { return meanGrey(preview()) > before + 20; }, 5000));

        const QByteArray shots = qgetenv("VELCAP_SCREENSHOTS");
        if (!shots.isEmpty()) dialog->grab().save(QString(shots) + "/paramdlg.png");

        // 默认 puts every control back.
        dialog->ui->Bt_default->click();
        QCOMPARE(dialog->ui->BrightSlider->value(), 0);
        QCOMPARE(dialog->ui->lb_bright->text(), QString("0"));
        int minimum = 0, maximum = 0, def = 0, current = 0;
        QCOMPARE(GetVideoCtlParam(0, &minimum, &maximum, &def, &current), 0);
        QCOMPARE(current, 0);

        // 确定, then a new dialog that reads the camera afresh.
        SetVideoCtlParam(2, 80);
        dialog->ui->Bt_OK->click();
        QVERIFY(!isParamDlgOpen);
        w->ui->Bt_Params->click();
        QCOMPARE(w->paramDlg->ui->SatuSlider->value(), 80);
        SetVideoCtlDefaultParam(2);
    }

    void qtsOwnTextsAreChinese() {
        QVERIFY(installChineseQtTexts(*QCoreApplication::instance()));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("取消"));
        QMessageBox box(QMessageBox::Warning, "提示", "拍照失败！", QMessageBox::Ok);
        QCOMPARE(box.button(QMessageBox::Ok)->text(), QString("确定"));
    }

private:
    static double meanGrey(const QPixmap& pixmap) {
        const QImage image = pixmap.toImage().convertToFormat(QImage::Format_Grayscale8);
        double sum = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) sum += image.constScanLine(y)[x];
        return image.isNull() ? 0 : sum / (double(image.width()) * image.height());
    }
};

QTEST_MAIN(WindowActionsTest)
#include "test_window_actions.moc"
