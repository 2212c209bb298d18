// The video parameter dialog: brightness, contrast, saturation, hue and gain
// of the open camera on sliders; the camera is the only store.
#pragma once

#include <QMainWindow>

class QLabel;
class QSlider;
class Ui_ParamDlg;

class ParamDlg : public QMainWindow {
    Q_OBJECT

public:
    explicit ParamDlg(QWidget* parent = nullptr);
    ~ParamDlg() override;

    // Shows the camera's ranges and values without writing anything to it.
    void ToGetVideoCtlParams();

    Ui_ParamDlg* ui = nullptr;

public slots:
    void on_BrightSlider_valueChanged(int value);
    void on_ContrastSlider_valueChanged(int value);
    void on_SatuSlider_valueChanged(int value);
    void on_HunSlider_valueChanged(int value);
    void on_GainSlider_valueChanged(int value);
    void on_Bt_default_clicked();
    void on_Bt_OK_clicked();
    void on_ParamDlg_destroyed();

private:
    struct Row {
        QSlider* slider;
        QLabel* value;
        const char* defaultFailure;
    };
    // Rows by control number, 0 brightness to 4 gain.
    Row row(int control) const;
    void sendValue(int control, int value);
};
