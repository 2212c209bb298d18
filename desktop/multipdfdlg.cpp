#include "multipdfdlg.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QDesktopServices>
#include <QDesktopWidget>
#include <QFile>
#include <QFileInfo>
#include <QListWidgetItem>
#include <QMenu>
#include <QMessageBox>
#include <QUrl>

#include "background_job.h"
#include "file_list.h"
#include "mainwindow.h"
#include "ui_multipdfdlg.h"
#include "velcap.h"

namespace {

QString timeStamp() {
    return QDateTime::currentDateTime().toString("yyyyMMddHHmmsszzz");
}

QListWidgetItem* pageEntry(const QString& path, const QString& name) {
    return filelist::entry(QIcon(QPixmap(path)), name, path);
}

} // namespace

multiPdfDlg::multiPdfDlg(QWidget* parent) : QMainWindow(parent) {
    ui = new Ui_multiPdfDlg;
    ui->setupUi(this);
    setWindowFlags((windowFlags() & ~(Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)) | Qt::Tool);
    setFixedSize(182, 600);
    const QRect desktop = QApplication::desktop()->geometry();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);

    QListWidget* list = ui->listWidget1;
    list->setViewMode(QListView::IconMode);
    list->setIconSize(QSize(120, 160));
    QFont font;
    font.setPointSize(10);
    font.setWeight(QFont::Normal);
    list->setFont(font);
    list->setSpacing(10);
    list->setResizeMode(QListView::Adjust);
    list->setMovement(QListView::Static);
    filelist::showWholeNames(list);

    openAction = new QAction("打开", this);
    insertAction = new QAction("插入", this);
    deleteAction = new QAction("删除", this);
    popMenu = new QMenu(this);
    popMenu->addAction(openAction);
    popMenu->addAction(insertAction);
    popMenu->addAction(deleteAction);
    MenuEventPro();
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this, [this](const QPoint&) { popMenu->exec(QCursor::pos()); });
    setFocusPolicy(Qt::StrongFocus);
}

multiPdfDlg::~multiPdfDlg() {
    isPdfDlgOpen = false;
    delete ui;
}

void multiPdfDlg::MenuEventPro() {
    connect(openAction, &QAction::triggered, this, &multiPdfDlg::openCurrentPage);
    connect(insertAction, &QAction::triggered, this, &multiPdfDlg::insertPage);
    connect(deleteAction, &QAction::triggered, this, &multiPdfDlg::deletePage);
}

QString multiPdfDlg::folder() const {
    auto* window = qobject_cast<MainWindow*>(parent());
    return window ? window->pdfSavePath : QString();
}

void multiPdfDlg::takePage(int row) {
    if (!isOpenCamera) return;
    QListWidget* list = ui->listWidget1;
    auto* window = qobject_cast<MainWindow*>(parent());
    if (window && window->bookMode()) {
        QString spread;
        if (window->captureSpread(&spread) != 0) return;
        ++booksPending_;
        ui->Bt_export->setEnabled(false);
        makeBookPagesLater(this, window->textLayers(), spread, folder() + "/" + timeStamp() + ".jpg", false,
                           [this, list, row](const QStringList& pages) {
                               ui->Bt_export->setEnabled(--booksPending_ == 0);
                               if (pages.isEmpty()) {
                                   QMessageBox::warning(this, "提示", "未找到书本，请将书本摊开平放在台面上重新拍摄。",
                                                        QMessageBox::Ok);
                                   return;
                               }
                               int at = row < 0 ? list->count() : std::min(row, list->count());
                               for (const QString& page : pages)
                                   list->insertItem(at++, pageEntry(page, QFileInfo(page).fileName()));
                               if (row < 0) list->scrollToBottom();
                           });
        return;
    }
    const QString name = timeStamp() + ".jpg";
    const QString path = folder() + "/" + name;
    if (captureImage(path.toUtf8().constData()) != 0) return;
    if (row < 0) {
        list->addItem(pageEntry(path, name));
        list->scrollToBottom();
    } else {
        list->insertItem(row, pageEntry(path, name));
    }
}

void multiPdfDlg::on_Bt_capture_clicked() {
    takePage(-1);
}

void multiPdfDlg::insertPage() {
    // Before the current page; at the top when none is current.
    takePage(std::max(ui->listWidget1->currentRow(), 0));
}

void multiPdfDlg::openCurrentPage() {
    filelist::openCurrent(ui->listWidget1);
}

void multiPdfDlg::deletePage() {
    if (!filelist::deleteCurrent(ui->listWidget1))
        QMessageBox::warning(this, "提示", "删除失败！文件无法移到回收站。", QMessageBox::Ok);
}

void multiPdfDlg::on_listWidget1_doubleClicked(const QModelIndex&) {
    openCurrentPage();
}

void multiPdfDlg::on_listWidget1_clicked(const QModelIndex&) {}

void multiPdfDlg::on_Bt_export_clicked() {
    if (!isOpenCamera) return;
    QListWidget* list = ui->listWidget1;
    if (list->count() == 0) {
        QMessageBox::warning(this, "提示", "导出失败！请先拍照图片", QMessageBox::Ok);
        return;
    }
    const QString pdfName = timeStamp() + ".pdf";
    const QString pdfPath = folder() + "/" + pdfName;

    auto* window = qobject_cast<MainWindow*>(parent());
    if (window && window->textLayerWanted()) {
        // Reading the pages' text takes a while: off the GUI thread, the pages kept until it is done.
        QStringList pages;
        for (int row = 0; row < list->count(); ++row) {
            const QString path = list->item(row)->data(Qt::ToolTipRole).toString();
            if (QFileInfo(path).isFile()) pages << path;
        }
        ui->Bt_export->setEnabled(false);
        ui->Bt_export->setText("正在识别文字…");
        makeSearchablePdfLater(this, window->textLayers(), pages, pdfPath, [this, pdfPath, pdfName](bool written) {
            ui->Bt_export->setEnabled(true);
            ui->Bt_export->setText("导出PDF");
            exported(written, pdfPath, pdfName);
        });
        return;
    }
    // The pages stay until the document is complete and in place; a page
    // that is there but refused fails the whole export.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    bool pagesAdded = pdf_start(pdfPath.toUtf8().constData()) == 0;
    for (int row = 0; pagesAdded && row < list->count(); ++row) {
        const QString path = list->item(row)->data(Qt::ToolTipRole).toString();
        if (!QFileInfo(path).isFile()) continue; // a page deleted meanwhile is left out
        pagesAdded = pdf_addPage(path.toUtf8().constData()) == 0;
    }
    const bool ended = pdf_end() == 0;
    // A document that lacks a page is no export: it goes, the pages stay.
    if (ended && !pagesAdded) QFile::remove(pdfPath);
    const bool written = ended && pagesAdded;
    QApplication::restoreOverrideCursor();
    exported(written, pdfPath, pdfName);
}

void multiPdfDlg::exported(bool written, const QString& pdfPath, const QString& pdfName) {
    QListWidget* list = ui->listWidget1;
    if (!written) {
        QMessageBox::warning(this, "提示", "导出失败！", QMessageBox::Ok);
        return;
    }

    while (list->count() > 0) {
        QListWidgetItem* item = list->takeItem(list->count() - 1);
        const QString path = item->data(Qt::ToolTipRole).toString();
        if (QFileInfo(path).isFile()) QFile::remove(path);
        delete item;
    }
    if (auto* window = qobject_cast<MainWindow*>(parent())) window->NotifyAddPdfFilePro(pdfPath, pdfName);
    QMessageBox::information(this, "提示", "导出成功：" + pdfPath, QMessageBox::Ok);
}

void multiPdfDlg::on_multiPdfDlg_destroyed() {
    isPdfDlgOpen = false;
}
