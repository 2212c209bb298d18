// The main window: camera and resolution choice and the live preview.
#pragma once

#include <atomic>

#include <opencv2/core.hpp>

#include <QMainWindow>
#include <QPixmap>
#include <QThreadPool>
#include <QTimer>

class QLabel;
class QNetworkAccessManager;

class QAction;
class QMenu;
class QModelIndex;
class Ui_MainWindow;
class ParamDlg;
class multiPdfDlg;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    bool changeDevAndGetResolutions();
    // Connects the list menu's actions.
    void MenuEventPro();
    // Lists a document that the multi-page PDF dialog exported.
    void NotifyAddPdfFilePro(QString path, QString name);
    bool toOpenCamera();
    // Hands one preview frame (R, G, B rows) from the stream thread to the GUI
    // thread; drops it when the GUI is still behind with earlier ones.
    void postFrame(const unsigned char* pixels, int width, int height);
    // On the stream thread: a file that auto-capture wrote enters the list.
    static void autoCaptured(const char* path);
    // On a thread of the library: a supported camera came (added) or went.
    static void deviceChanged(int added, const char* node);
    static void buttonPressed(int key);
    // A photograph, or the multi-page PDF's next page while that dialog is open.
    void takePicture();
    // Frames posted and not shown yet.
    int pendingFrames() const { return pendingFrames_.load(); }
    // The size of the last frame the camera delivered (the preview shows it at the label's size).
    QSize lastFrameSize() const { return QSize(frameWidth_.load(), frameHeight_.load()); }

    ParamDlg* paramDlg = nullptr;
    multiPdfDlg* pdfDlg = nullptr;
    QString pdfSavePath;
    Ui_MainWindow* ui = nullptr;
    bool isInited = false;
    bool isResEnabled = false;
    QAction* openAction = nullptr;
    QAction* deleteAction = nullptr;
    QMenu* popMenu = nullptr;

signals:
    void image(QPixmap& pix);

public slots:
    void showImg(QPixmap& img);
    void on_comboBoxDev_currentIndexChanged(const QString& arg1);
    void on_comboBoxRes_currentIndexChanged(const QString& arg1);
    void on_MainWindow_destroyed();

    // Capture, the file list and the save folder.
    void on_bt_capture_clicked();
    // 身份证: the first click photographs the front, the second the back; the
    // copy (both on A4 at true size) then joins the list.
    void on_bt_idcard_clicked();
    void on_listWidget1_clicked(const QModelIndex& index);
    void on_listWidget1_doubleClicked(const QModelIndex& index);
    void on_BT_SelectPath_clicked();
    void on_BT_OpenPath_clicked();

    // Capture options, turns, focus and recognition.
    void on_checkBox1_clicked();
    void on_checkBox_quad_clicked();
    void on_checkBox_2_clicked();
    void on_checkBox_clicked();
    void on_checkBox_auto_clicked();
    // 书本模式: a photograph of an open book gives its two pages.
    void on_checkBox_book_clicked();
    void on_comboBox_format_currentIndexChanged(int index);
    void on_pushButton_8_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_7_clicked();

    // The video parameter dialog and the multi-page PDF dialog.
    void on_Bt_Params_clicked();
    void on_pushButton_clicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The cut type of the crop check boxes: 0 none, 1 the page outline, 2 its quadrilateral straightened.
    void applyCutType();
    // The library's capture settings as the check boxes and 书本模式 want them:
    // a book is photographed whole, as it lies, into the private folder.
    void applyCaptureOptions();
    // A spread photographed (into the private folder) becomes its pages in the save folder.
    void addBookPages(const QString& spread);
    // Appends a list entry: the thumbnail read from picture, the name, and path in the tool-tip role.
    void addEntry(const QString& picture, const QString& name, const QString& path);
    void addEntry(const QIcon& icon, const QString& name, const QString& path);
    void openCurrentEntry();
    void deleteCurrentEntry();
    // "拍照失败！" under "提示".
    void reportCaptureFailure(int code, const QString& path);
    QString captureFailureReason(int code, const QString& path) const;
    // The recognition of one kind, and its answer in a message box.
    void recognise(int type, const char* title, const char* none);
    // Opens the chosen camera in the current format (MJPEG); when that fails,
    // lists its YUYV sizes and opens it in YUYV.
    void openOrFallBackToYuyv();
    // On the GUI thread: the device list follows the cameras plugged in; the
    // preview says when its camera went (the library resumes it when it comes back).
    void onDeviceChanged(bool added, const QString& node);
    void refreshDeviceList();
    void fillDeviceList();
    void showNoDevice();
    // The settings a user expects to find again: folder, format, options,
    // size, turn and the window's geometry (QSettings).
    void restoreSettings();
    void restoreResolution();
    void saveSettings() const;
    QString openNode_; // the node of the camera open now
    // Frames waiting for the GUI beyond this many are dropped: a slow GUI sees
    // fresh frames, and memory stays bounded.
    static constexpr int kMaxPendingFrames = 3;
    std::atomic<int> pendingFrames_{0};
    // The preview label's size, kept by the GUI thread for the stream thread,
    // which scales each frame to it: the GUI converts no more than it shows.
    std::atomic<int> labelWidth_{0}, labelHeight_{0};
    std::atomic<int> frameWidth_{0}, frameHeight_{0};
    cv::Mat reduced_, scaled_; // stream thread only, reused from frame to frame
    QThreadPool textLayers_;   // searchable PDFs and card copies being written, one at a time
    QString idFront_;          // the photograph of a card's front, waiting for its back
    QString cardFolder_; // where a card's sides and a book's spreads wait: the user's alone, emptied at start and exit
    // Whether velcapd offers the camera to SANE programs (eSCL), asked now
    // and then without waiting on the GUI thread, and said beside the
    // company's name while it does.
    void checkScanner();
    QNetworkAccessManager* network_ = nullptr;
    QLabel* scannerLabel_ = nullptr;
    QTimer scannerTimer_;

public:
    // Whether "文字识别" is checked: PDFs get their text layer.
    bool textLayerWanted() const;
    // Whether "书本模式" is checked: photographs are of an open book.
    bool bookMode() const;
    // Photographs a book's spread into the private folder, the user's alone:
    // captureImage's answer, or 1 when there is no private folder.
    int captureSpread(QString* spread);
    QThreadPool& textLayers() { return textLayers_; }
    // The private folder of a card's waiting side ("" when none can be made).
    const QString& cardFolder() const { return cardFolder_; }
};

// Program-wide state shared by the window, its handlers and dialogs.
// MW is read by the stream thread's frame callback; the rest only by the GUI thread.
extern std::atomic<MainWindow*> MW;
extern bool isOpenCamera;
extern int RotateVal;
extern bool isPdfDlgOpen;
extern bool isParamDlgOpen;

// The frame callback handed to the library; runs on its stream thread.
void VideoStreamPro(unsigned char* data, int width, int height);
