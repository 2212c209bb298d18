// velcapdesk: the desktop program of the velcap document cameras.
#include <QApplication>

#include "mainwindow.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
