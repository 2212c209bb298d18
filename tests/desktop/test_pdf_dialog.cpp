// The multi-page PDF dialog on the virtual camera: pages by 拍照, Space and
// 插入, the page menu, and the export into one document that joins the main
// window's list. Runs with QT_QPA_PLATFORM=offscreen under umockdev-wrapper.
#include <QAction>
#include <QFile>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QtTest>

#include "multipdfdlg.h"
#include "ui_multipdfdlg.h"
#include "window_test.h"

using velcap::test::MessageBoxCatcher;

class PdfDialogTest : public QObject, velcap::test::WindowFixture {
    Q_OBJECT

private:
    multiPdfDlg* open(MainWindow* w) {
        w->ui->pushButton->click();
        return w->pdfDlg;
    }
    static QStringList pagePaths(multiPdfDlg* d) {
        QStringList out;
        for (int i = 0; i < d->ui->listWidget1->count(); ++i)
            out << d->ui->listWidget1->item(i)->data(Qt::ToolTipRole).toString();
        return out;
    }
    // The pictures of a document's pages, in order, as pdfimages extracts them.
    QList<QImage> pagesOf(const QString& pdf) const {
        const QString prefix = folder_->path() + "/extracted";
        QProcess::execute("pdfimages", {"-j", pdf, prefix});
        QList<QImage> out;
        for (const QString& name : QDir(folder_->path()).entryList({"extracted-*"}, QDir::Files, QDir::Name))
            out << QImage(folder_->path() + "/" + name).convertToFormat(QImage::Format_RGB888);
        return out;
    }
    static double difference(const QImage& a, const QImage& b) {
        if (a.size() != b.size()) return 1e9;
        double sum = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width() * 3; ++x) sum += std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]);
        return sum / (double(a.width()) * a.height() * 3);
    }

private slots:
    void initTestCase() { testbed_ = std::make_unique<vcam::Testbed>(); }
    void cleanup() {
        window_.reset();
        isPdfDlgOpen = false;
    }
    void cleanupTestCase() { testbed_.reset(); }

    void threePagesBecomeOneDocumentInListOrder() {
        MainWindow* w = start(0);
        multiPdfDlg* d = open(w);
        QVERIFY(d && isPdfDlgOpen);
        QCOMPARE(d->windowTitle(), QString("多页PDF"));
        for (int i = 0; i < 3; ++i) {
            d->ui->Bt_capture->click();
            QTest::qWait(30); // the time stamps of the pages differ
        }
        const QStringList pages = pagePaths(d);
        QCOMPARE(pages.size(), 3);
        QList<QImage> expected;
        for (const QString& page : pages) expected << QImage(page).convertToFormat(QImage::Format_RGB888);

        const QByteArray shots = qgetenv("VELCAP_SCREENSHOTS");
        if (!shots.isEmpty()) {
            d->move(w->x() + w->width() + 4, w->y());
            QImage both(w->width() + d->width() + 4, std::max(w->height(), d->height()), QImage::Format_RGB888);
            both.fill(Qt::white);
            QPainter painter(&both);
            painter.drawPixmap(0, 0, w->grab());
            painter.drawPixmap(w->width() + 4, 0, d->grab());
            painter.end();
            both.save(QString(shots) + "/multipdf.png");
        }

        MessageBoxCatcher catcher;
        catcher.arm();
        d->ui->Bt_export->click();
        QCOMPARE(catcher.title, QString("提示"));
        QVERIFY2(catcher.text.startsWith("导出成功：" + folder_->path() + "/"), qPrintable(catcher.text));
        const QString pdf = catcher.text.mid(QString("导出成功：").size());
        QCOMPARE(pdfPages(pdf), 3);
        const QList<QImage> actual = pagesOf(pdf);
        QCOMPARE(actual.size(), 3);
        for (int i = 0; i < 3; ++i) QVERIFY2(difference(actual[i], expected[i]) < 1.0, qPrintable(QString::number(i)));
        for (const QString& page : pages) QVERIFY(!QFile::exists(page));
        QCOMPARE(d->ui->listWidget1->count(), 0);
        QCOMPARE(w->ui->listWidget1->count(), 1);
        QCOMPARE(w->ui->listWidget1->item(0)->data(Qt::ToolTipRole).toString(), pdf);
        QVERIFY(!w->ui->listWidget1->item(0)->icon().isNull());
    }

    // 书本模式: each photograph gives both pages of the open book, inserted
    // where asked; the export waits until they are made.
    void aBookGivesTwoPagesEach() {
        MainWindow* w = start(1, false, {}, [](vcam::Camera& c) { c.look.book = "spread"; });
        w->ui->checkBox_book->click();
        multiPdfDlg* d = open(w);
        d->ui->Bt_capture->click();
        QVERIFY(!d->ui->Bt_export->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(d->ui->listWidget1->count(), 2, 30000);
        QVERIFY(d->ui->Bt_export->isEnabled());
        d->ui->listWidget1->setCurrentRow(1);
        d->insertAction->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(d->ui->listWidget1->count(), 4, 30000);
        const QStringList pages = pagePaths(d);
        QVERIFY2(pages[0].endsWith("-001.jpg") && pages[1].endsWith("-001.jpg") && pages[2].endsWith("-002.jpg") &&
                     pages[3].endsWith("-002.jpg"),
                 qPrintable(pages.join(' ')));
        MessageBoxCatcher catcher;
        catcher.arm();
        d->ui->Bt_export->click();
        QVERIFY2(catcher.text.startsWith("导出成功："), qPrintable(catcher.text));
        QCOMPARE(pdfPages(catcher.text.mid(QString("导出成功：").size())), 4);
        QVERIFY(QDir(w->cardFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }

    // With "文字识别", the pages' text is read off the GUI thread: the
    // window answers at once, and the document comes with its pages.
    void exportWithTextLayer() {
        MainWindow* w = start(0);
        w->ui->checkBox_ocr->setChecked(true);
        multiPdfDlg* d = open(w);
        for (int i = 0; i < 2; ++i) {
            d->ui->Bt_capture->click();
            QTest::qWait(30);
        }
        const QStringList pages = pagePaths(d);
        MessageBoxCatcher catcher;
        catcher.arm();
        d->ui->Bt_export->click();
        QVERIFY(!d->ui->Bt_export->isEnabled());
        QCOMPARE(catcher.seen, 0);
        QTRY_VERIFY_WITH_TIMEOUT(catcher.seen == 1, 30000);
        QVERIFY2(catcher.text.startsWith("导出成功："), qPrintable(catcher.text));
        QCOMPARE(pdfPages(catcher.text.mid(QString("导出成功：").size())), 2);
        for (const QString& page : pages) QVERIFY(!QFile::exists(page));
        QVERIFY(d->ui->Bt_export->isEnabled());
    }

    void insertAndDelete() {
        MainWindow* w = start(0);
        multiPdfDlg* d = open(w);
        for (int i = 0; i < 3; ++i) {
            d->ui->Bt_capture->click();
            QTest::qWait(30);
        }
        const QStringList before = pagePaths(d);
        d->ui->listWidget1->setCurrentRow(1);
        d->insertAction->trigger();
        QStringList after = pagePaths(d);
        QCOMPARE(after.size(), 4);
        QCOMPARE(after[0], before[0]);
        QVERIFY(!before.contains(after[1]));
        QCOMPARE(after[2], before[1]);

        QTest::qWait(30);
        d->ui->listWidget1->setCurrentRow(-1);
        d->insertAction->trigger();
        after = pagePaths(d);
        QCOMPARE(after.size(), 5);
        QVERIFY(!before.contains(after[0]));

        d->ui->listWidget1->setCurrentRow(4);
        const QString last = pagePaths(d)[4];
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder_->path() + "/data"));
        d->deleteAction->trigger();
        QCOMPARE(d->ui->listWidget1->count(), 4);
        QVERIFY(!QFile::exists(last));
        QVERIFY(velcap::test::inTrash(last));
    }

    void aFolderWithChineseAndBlanks() {
        MainWindow* w = start(0);
        const QString odd = folder_->path() + "/文档 扫描 'x'";
        QVERIFY(QDir().mkpath(odd));
        w->ui->textEdit_path->setText(odd);
        multiPdfDlg* d = open(w);
        d->ui->Bt_capture->click();
        QTest::qWait(30);
        d->ui->listWidget1->setCurrentRow(0);
        d->insertAction->trigger();
        MessageBoxCatcher catcher;
        catcher.arm();
        d->ui->Bt_export->click();
        QVERIFY(catcher.text.startsWith("导出成功：" + odd));
        QCOMPARE(QDir(odd).entryList({"*.pdf"}, QDir::Files).size(), 1);
        QCOMPARE(QDir(odd).entryList({"*.jpg"}, QDir::Files).size(), 0);
    }

    void withTheCameraClosedNothingHappens() {
        MainWindow* w = start(0);
        multiPdfDlg* d = open(w);
        d->ui->Bt_capture->click();
        closeCamera();
        isOpenCamera = false;
        d->ui->Bt_export->click(); // no message box: the test would hang on one
        QCOMPARE(d->ui->listWidget1->count(), 1);
        QCOMPARE(files("*.pdf").size(), 0);
    }

    void aClosedDialogStillTakesPagesFromSpace() {
        MainWindow* w = start(0);
        multiPdfDlg* d = open(w);
        d->close();
        QVERIFY(isPdfDlgOpen);
        w->setFocus();
        QTest::keyClick(w, Qt::Key_Space);
        QCOMPARE(d->ui->listWidget1->count(), 1);
        QCOMPARE(w->ui->listWidget1->count(), 0);
        QCOMPARE(open(w), d);
        QVERIFY(d->isVisible());
        QCOMPARE(d->ui->listWidget1->count(), 1);
    }

    void aFailedExportKeepsEveryPage() {
        MainWindow* w = start(0);
        multiPdfDlg* d = open(w);
        d->ui->Bt_capture->click();
        QTest::qWait(30);
        d->ui->Bt_capture->click();
        const QStringList pages = pagePaths(d);
        // The document's folder is gone by the time of the export.
        w->pdfSavePath = folder_->path() + "/gone";
        MessageBoxCatcher catcher;
        catcher.arm();
        d->ui->Bt_export->click();
        QCOMPARE(catcher.title, QString("提示"));
        QCOMPARE(catcher.text, QString("导出失败！"));
        QCOMPARE(pagePaths(d), pages);
        for (const QString& page : pages) QVERIFY(QFile::exists(page));
        QCOMPARE(w->ui->listWidget1->count(), 0);
    }
};

QTEST_MAIN(PdfDialogTest)
#include "test_pdf_dialog.moc"
