#include "windows/frm_dir.h"

#include "common/module1.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "windows/program_icon.h"
#include "windows/twips_layout.h"
#include "windows/window_frame.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {

// The client area the layout was drawn for, in twips.
constexpr QSize kDesignSize(8160, 1905);

} // namespace

FrmDir::FrmDir(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Select a directory?"));
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);

    Drive1 = new platform::DriveListBox(this);
    // On Linux a combo box is named by its value; what it is for goes in its description.
    Drive1->setAccessibleName(QStringLiteral("Drive"));
    Drive1->setAccessibleDescription(QStringLiteral("Drive"));
    layout::place(Drive1, 0, 0, 7395, 315);

    FileDir1 = new platform::DirListBox(this);
    FileDir1->setAccessibleName(QStringLiteral("Folder"));
    FileDir1->setAccessibleDescription(
        QStringLiteral("Open a folder with Enter, Space or a double click"));
    layout::place(FileDir1, 0, 360, 8115, 765);

    Label1 = new QLabel(QStringLiteral("Select a directory, or Network path type it in below: "
                                       "eg. //pc/zips/new"),
                        this);
    Label1->setTextFormat(Qt::PlainText);
    layout::place(Label1, 0, 1320, 5052, 252);

    txtPath = new QLineEdit(this);
    layout::place(txtPath, 0, 1560, 5895, 288);
    // The label names the path box for assistive technology.
    Label1->setBuddy(txtPath);

    Command2 = new QPushButton(QStringLiteral("ABORT"), this);
    layout::place(Command2, 6000, 1560, 972, 255);
    Command1 = new QPushButton(QStringLiteral("APPLY"), this);
    layout::place(Command1, 7080, 1560, 972, 255);
    // No default button: Enter presses the button that has the focus, and in the path box
    // it applies the path typed; elsewhere (the drive list) it presses nothing.
    Command1->setAutoDefault(false);
    Command2->setAutoDefault(false);
    platform::pressOnEnter(Command1);
    platform::pressOnEnter(Command2);
    connect(txtPath, &QLineEdit::returnPressed, Command1, &QPushButton::click);

    // The path box's text is not known yet: its height must hold the font.
    layout::scaleToFont(this, kDesignSize, {{Label1}, {txtPath}, {Command1}, {Command2}});
    resize(layout::pixels(this, QRect(QPoint(), kDesignSize)).size());

    setTabOrder(Drive1, FileDir1);
    setTabOrder(FileDir1, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, txtPath);

    connect(Drive1, &platform::DriveListBox::Change, this, &FrmDir::Drive1_Change);
    connect(FileDir1, &platform::DirListBox::MouseDown, this, &FrmDir::FileDir1_MouseDown);
    connect(Command1, &QPushButton::clicked, this, &FrmDir::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &FrmDir::Command2_Click);

    // The rule takes the outer size, and a window manager frames the window only after
    // it is shown, without resizing it: lay out again whenever the frame changes.
    layout::onFrameChange(this, [this] { Form_Resize(); });

    Form_Load();
    Drive1->setFocus();
}

void FrmDir::Form_Load() {
    txtPath->setText(FileDir1->path());
}

void FrmDir::Form_Resize() {
    const QSize outer = size().grownBy(layout::windowFrame(this));
    // The rule leaves room below the path box for a frame as tall as the one the layout was
    // drawn for; a thinner frame would push the bottom row past the window's edge, so the
    // outer height the rule sees is never more than the row still fits in.
    const int fits = layout::toTwips(this, height()) + layout::twipsBox(Command2).height() + 400 -
                     layout::twipsBox(FileDir1).top();
    layoutFor(layout::toTwips(this, outer.width()),
              std::min(layout::toTwips(this, outer.height()), fits));
}

void FrmDir::layoutFor(int W, int H) {
    const QRect path = layout::twipsBox(txtPath);
    const QRect label = layout::twipsBox(Label1);
    const QRect abort = layout::twipsBox(Command2);
    const QRect apply = layout::twipsBox(Command1);
    const QRect list = layout::twipsBox(FileDir1);

    // A window smaller than the fixed parts leaves the list and the path box empty rather
    // than giving them a negative size.
    const int S = path.height() + label.height() + abort.height() + 400;
    const int listHeight = std::max(0, H - S);
    const int listWidth = std::max(0, W - 250);
    layout::place(FileDir1, QRect(list.left(), list.top(), listWidth, listHeight));

    const int labelTop = list.top() + listHeight;
    layout::place(Label1, QRect(label.left(), labelTop, label.width(), label.height()));

    const int pathTop = labelTop + label.height();
    const int pathWidth = std::max(0, W - 2500);
    layout::place(txtPath, QRect(path.left(), pathTop, pathWidth, path.height()));

    layout::place(Command1, QRect(pathWidth + 100, pathTop, apply.width(), apply.height()));
    layout::place(Command2, QRect(pathWidth + 1200, pathTop, abort.width(), abort.height()));
}

void FrmDir::Drive1_Change() {
    const platform::FsError error = FileDir1->setPath(Drive1->drive());
    if (error.number == platform::ErrDeviceUnavailable)
        platform::MsgBox(QStringLiteral("Drive not ready! insert Disk/CD in drive"));
    txtPath->setText(FileDir1->path());
}

void FrmDir::FileDir1_MouseDown() {
    txtPath->setText(FileDir1->path());
}

void FrmDir::Command1_Click() {
    // A host path reaches the program as the DOS path of the same folder, or stays in the
    // box to be put right.
    QString refusal;
    QString chosen = typedFolderPath(txtPath->text(), &refusal);
    if (!refusal.isEmpty()) {
        platform::MsgBox(refusal, platform::vbOKOnly | platform::vbCritical);
        return;
    }
    txtPath->setText(chosen);
    if (!chosen.endsWith(u'\\'))
        chosen += u'\\';
    ChosenDir = chosen;
    close();
}

void FrmDir::Command2_Click() {
    AbortFlag = -1;
    close();
}

void FrmDir::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Form_Resize();
}

void FrmDir::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Form_Resize();
}
