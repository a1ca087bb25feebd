#pragma once

// The directory chooser: a drive list, a directory list and a path box. "APPLY" hands the
// path back through ChosenDir, "ABORT" raises the run-abort flag. Every opening creates
// the window afresh.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace platform {
class DirListBox;
class DriveListBox;
} // namespace platform

class FrmDir : public QDialog {
    Q_OBJECT
public:
    explicit FrmDir(QWidget* parent = nullptr);

    platform::DriveListBox* Drive1 = nullptr;
    platform::DirListBox* FileDir1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtPath = nullptr;
    QPushButton* Command2 = nullptr; // "ABORT"
    QPushButton* Command1 = nullptr; // "APPLY"

    void Form_Load();
    // Lays the controls out for the window's outer size: its size and the frame the
    // window manager puts around it.
    void Form_Resize();
    // The layout for an outer size of W x H twips.
    void layoutFor(int W, int H);
    void Drive1_Change();
    void FileDir1_MouseDown();
    void Command1_Click();
    void Command2_Click();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
};
