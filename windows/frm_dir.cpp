#include "windows/frm_dir.h"

#include "common/module1.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "windows/program_icon.h"
#include "windows/twips_layout.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {

void whiteList(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::ButtonText, Qt::black);
    widget->setPalette(palette);
}

} // namespace

FrmDir::FrmDir(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Select a directory?"));
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    resize(platform::twips(0, 0, 8160, 1905).size());

    Drive1 = new platform::DriveListBox(this);
    whiteList(Drive1);
    layout::place(Drive1, 0, 0, 7395, 315);

    FileDir1 = new platform::DirListBox(this);
    whiteList(FileDir1);
    layout::place(FileDir1, 0, 360, 8115, 765);

    Label1 = new QLabel(QStringLiteral("Select a directory, or Network path type it in below: "
                                       "eg. //pc/zips/new"),
                        this);
    Label1->setTextFormat(Qt::PlainText);
    layout::place(Label1, 0, 1320, 5052, 252);

    txtPath = new QLineEdit(this);
    layout::place(txtPath, 0, 1560, 5895, 288);

    Command2 = new QPushButton(QStringLiteral("ABORT"), this);
    layout::place(Command2, 6000, 1560, 972, 255);
    Command1 = new QPushButton(QStringLiteral("APPLY"), this);
    layout::place(Command1, 7080, 1560, 972, 255);
    // Enter in the path box must not press a button behind the user's back.
    Command1->setAutoDefault(false);
    Command2->setAutoDefault(false);

    for (QWidget* control : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(Command1),
                             static_cast<QWidget*>(Command2)})
        layout::fitText(control);

    setTabOrder(Drive1, FileDir1);
    setTabOrder(FileDir1, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, txtPath);

    connect(Drive1, &platform::DriveListBox::Change, this, &FrmDir::Drive1_Change);
    connect(FileDir1, &platform::DirListBox::MouseDown, this, &FrmDir::FileDir1_MouseDown);
    connect(Command1, &QPushButton::clicked, this, &FrmDir::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &FrmDir::Command2_Click);

    Form_Load();
    Drive1->setFocus();
}

void FrmDir::Form_Load() {
    txtPath->setText(FileDir1->path());
}

void FrmDir::Form_Resize() {
    const QSize outer = frameGeometry().size();
    layoutFor(platform::toTwips(outer.width()), platform::toTwips(outer.height()));
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
    QString chosen = txtPath->text();
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
