// The multi-page PDF dialog: photographs collected as pages, in list order,
// then written into one document that joins the main window's file list.
#pragma once

#include <QMainWindow>

class QAction;
class QMenu;
class QModelIndex;
class Ui_multiPdfDlg;

class multiPdfDlg : public QMainWindow {
    Q_OBJECT

public:
    explicit multiPdfDlg(QWidget* parent = nullptr);
    ~multiPdfDlg() override;

    void MenuEventPro();

    Ui_multiPdfDlg* ui = nullptr;
    QAction* openAction = nullptr;
    QAction* insertAction = nullptr;
    QAction* deleteAction = nullptr;
    QMenu* popMenu = nullptr;

public slots:
    void on_Bt_capture_clicked();
    void on_multiPdfDlg_destroyed();
    void on_Bt_export_clicked();
    void on_listWidget1_doubleClicked(const QModelIndex& index);
    void on_listWidget1_clicked(const QModelIndex& index);

private:
    // A page photographed into the main window's PDF folder, entered at row
    // (-1: at the end); in 书本模式 both pages of the open book, once they are made.
    void takePage(int row);
    int booksPending_ = 0; // spreads whose pages are being made: the export waits for them
    void openCurrentPage();
    void insertPage();
    void deletePage();
    QString folder() const;
    // The pages go and the document joins the main window's list, or the failure is told.
    void exported(bool written, const QString& pdfPath, const QString& pdfName);
};
