#pragma once

// The about window: logo, credit lines and the version. The main window shows it once,
// modally, before it appears itself.

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;

class FrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit FrmAbout(QWidget* parent = nullptr);

    QGroupBox* Frame = nullptr; // the frame carries the window's name in the layout
    QLabel* Image1 = nullptr;
    QPushButton* OK = nullptr;
    QLabel* Label11 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* TxtVersion = nullptr;
    // Credit captions (white) and their values (yellow), top to bottom.
    QList<QLabel*> creditCaptions;
    QList<QLabel*> creditValues;

    void OK_Click();

protected:
    void showEvent(QShowEvent* event) override;
};
