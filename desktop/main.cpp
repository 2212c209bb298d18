// velcapdesk: the desktop program of the velcap document cameras.
#include <QApplication>

#include "mainwindow.h"
#include "qt_texts.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // The shell matches the window to its entry: Wayland's app id, X11's class.
    QGuiApplication::setDesktopFileName("org.velcap.velcapdesk");
    // Qt's own dialogs and buttons in Chinese, as the program's own texts are.
    installChineseQtTexts(application);
    MainWindow window;
    window.show();
    return application.exec();
}
