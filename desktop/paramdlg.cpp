#include "paramdlg.h"

#include <cstdio>

#include <QApplication>
#include <QDesktopWidget>
#include <QSignalBlocker>

#include "mainwindow.h"
#include "ui_paramdlg.h"
#include "velcap.h"

namespace {
constexpr int kControls = 5;
}

ParamDlg::ParamDlg(QWidget* parent) : QMainWindow(parent) {
    ui = new Ui_ParamDlg;
    ui->setupUi(this);
    setWindowFlags((windowFlags() & ~Qt::WindowMaximizeButtonHint) | Qt::Tool);
    setFixedSize(400, 300);
    const QRect desktop = QApplication::desktop()->geometry();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);
    ToGetVideoCtlParams();
}

ParamDlg::~ParamDlg() {
    isParamDlgOpen = false;
    delete ui;
}

ParamDlg::Row ParamDlg::row(int control) const {
    switch (control) {
    case 0:
        return {ui->BrightSlider, ui->lb_bright, "Bright set default fail!!!!"};
    case 1:
        return {ui->ContrastSlider, ui->lb_contrast, "Contrast set default fail!!!!"};
    case 2:
        return {ui->SatuSlider, ui->lb_satu, "satu set default fail!!!!"};
    case 3:
        return {ui->HunSlider, ui->lb_hue, "Hun set default fail!!!!"};
    default:
        return {ui->GainSlider, ui->lb_gain, "Gain set default fail!!!!"};
    }
}

void ParamDlg::ToGetVideoCtlParams() {
    for (int id = 0; id < kControls; ++id) {
        int minimum = 0, maximum = 0, defaultValue = 0, current = 0;
        if (GetVideoCtlParam(id, &minimum, &maximum, &defaultValue, &current) != 0) continue;
        const Row r = row(id);
        // Filling the slider moves it through clamped values: none of them is sent.
        const QSignalBlocker quiet(r.slider);
        r.slider->setRange(minimum, maximum);
        r.slider->setValue(current);
        r.value->setText(QString::number(current));
    }
}

void ParamDlg::sendValue(int control, int value) {
    row(control).value->setText(QString::number(value));
    SetVideoCtlParam(control, value);
}

void ParamDlg::on_BrightSlider_valueChanged(int value) {
    sendValue(0, value);
}
void ParamDlg::on_ContrastSlider_valueChanged(int value) {
    sendValue(1, value);
}
void ParamDlg::on_SatuSlider_valueChanged(int value) {
    sendValue(2, value);
}
void ParamDlg::on_HunSlider_valueChanged(int value) {
    sendValue(3, value);
}
void ParamDlg::on_GainSlider_valueChanged(int value) {
    sendValue(4, value);
}

void ParamDlg::on_Bt_default_clicked() {
    for (int id = 0; id < kControls; ++id) {
        const int value = SetVideoCtlDefaultParam(id);
        const Row r = row(id);
        if (value < -10000) {
            std::printf("%s", r.defaultFailure);
            continue;
        }
        // The camera holds the default already; the slider only shows it.
        const QSignalBlocker quiet(r.slider);
        r.slider->setValue(value);
        r.value->setText(QString::number(value));
    }
    std::fflush(stdout);
}

void ParamDlg::on_Bt_OK_clicked() {
    isParamDlgOpen = false;
    close();
    deleteLater(); // the next 视频参数设置 makes a new dialog that reads the camera afresh
}

void ParamDlg::on_ParamDlg_destroyed() {
    isParamDlgOpen = false;
}
