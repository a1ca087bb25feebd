#include "app/form1.h"

#include "common/module1.h"
#include "common/numbers.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "platform/volumes.h"
#include "search/wd1.h"
#include "windows/frm_about.h"
#include "windows/frm_dir.h"
#include "windows/program_icon.h"
#include "windows/twips_layout.h"

#include <QAccessibleWidget>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>

#include <memory>

namespace {

// The client area the layout was drawn for, in twips.
constexpr QSize kClientSize(5040, 5280);

template <typename Label = QLabel>
QLabel* makeLabel(const QString& text, QWidget* parent, int l, int t, int w, int h,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter) {
    auto* label = new Label(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(alignment);
    layout::place(label, l, t, w, h);
    return label;
}

QCheckBox* makeCheck(const QString& text, QWidget* parent, int l, int t, int w, int h,
                     bool checked) {
    auto* check = new QCheckBox(text, parent);
    check->setChecked(checked);
    layout::place(check, l, t, w, h);
    return check;
}

QProgressBar* makeBar(QWidget* parent, int l, int t, int w, int h, const QString& name) {
    auto* bar = new QProgressBar(parent);
    bar->setAccessibleName(name);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    layout::place(bar, l, t, w, h);
    return bar;
}

void bordered(QLabel* label) {
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

// Names and descriptions for assistive technology where a control's own text says too little.
void describeControls(Form1& f) {
    // On Linux a combo box is named by its value; what it is for goes in its description.
    f.Drive1->setAccessibleName(QStringLiteral("Source drive"));
    f.Drive1->setAccessibleDescription(QStringLiteral("Source drive"));
    f.Dir1->setAccessibleName(QStringLiteral("Source folder"));
    f.Dir1->setAccessibleDescription(
        QStringLiteral("Open a folder with Enter, Space or a double click to make it the source"));
    f.Check1->setAccessibleDescription(
        QStringLiteral("Deletes each archive once all of it has been extracted"));
    f.Check2->setAccessibleDescription(
        QStringLiteral("Asks before going on when the destination's free space falls below the "
                       "free-space threshold"));
    f.TxtSel->setAccessibleName(QStringLiteral("Free-space threshold in megabytes"));
    f.Check3->setAccessibleDescription(
        QStringLiteral("Extracts every archive into the destination directory, chosen when "
                       "checked; otherwise each archive goes into its own directory"));
    f.txtDesc->setAccessibleName(QStringLiteral("Destination directory"));
    f.Check4->setAccessibleDescription(
        QStringLiteral("Writes the log to a file when the run ends"));
    f.Command1->setAccessibleDescription(
        QStringLiteral("Extracts every zip archive below the source folder"));
    f.List1->setAccessibleName(QStringLiteral("Log"));
    f.Command2->setAccessibleDescription(QStringLiteral("Stops the run (Escape)"));
}

// Qt reads a top-level widget of no better-known kind as a client area, which screen
// readers on Linux hear as a filler; the main window is a window.
QAccessibleInterface* readAsWindow(const QString& className, QObject* object) {
    if (className == QLatin1String("Form1") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

Form1::Form1(QWidget* parent) : QWidget(parent) {
    static const bool readsAsWindow = [] {
        QAccessible::installFactory(readAsWindow);
        return true;
    }();
    (void)readsAsWindow;
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(programIcon());

    Command1 = new QPushButton(QStringLiteral("Unzip"), this);
    layout::place(Command1, 3750, 4950, 1215, 255);

    TxtStats = makeLabel<platform::ElidedLabel>(QStringLiteral("Awaiting your command!"), this, 210,
                                                4980, 3435, 255, Qt::AlignCenter);
    bordered(TxtStats);

    F1 = new QGroupBox(QStringLiteral("Select Source"), this);
    layout::place(F1, 0, 60, 4995, 4815);
    F2 = new QGroupBox(QStringLiteral("Status"), this);
    layout::place(F2, 0, 90, 4995, 4785);

    // The run's archive list and the file count are never shown. As windows of their own
    // that never open, they stay out of the window's controls that assistive technology
    // lists, and the window still owns them.
    Todo = new QListWidget(this);
    Todo->setWindowFlags(Qt::Window);
    layout::place(Todo, 60, 4920, 315, 255);
    Todo->hide();
    File1 = new platform::FileListBox(this);
    File1->setWindowFlags(Qt::Window);
    layout::place(File1, 390, 4920, 645, 285);
    File1->hide();

    buildSelectionPanel();
    buildStatusPanel();
    F2->hide();

    // txtDesc covers the end of Check3's box, so its caption must fit in front of it.
    const int check3Room = layout::twipsBox(txtDesc).left() - layout::twipsBox(Check3).left();
    layout::scaleToFont(this, kClientSize,
                        {{Command1},
                         {TxtStats},
                         {F1},
                         {F2},
                         {Check1},
                         {Check2},
                         {TxtSel},
                         {Label3},
                         {Check3, check3Room},
                         {txtDesc},
                         {Check4},
                         {Label1},
                         {TxtFile},
                         {Label2[0]},
                         {Label2[1]},
                         {Label2[2]},
                         {Label2[3]},
                         {TxtSkip},
                         {Command2}});
    setFixedSize(layout::pixels(this, QRect(QPoint(), kClientSize)).size());
    describeControls(*this);

    // Qt presses a focused button on Enter only in dialogs; this window is not one.
    platform::pressOnEnter(Command1);
    platform::pressOnEnter(Command2);
    // Escape stops a run; the shortcut lives on the status panel, so it works only while
    // that panel shows, that is during a run.
    auto* abort = new QShortcut(QKeySequence(Qt::Key_Escape), F2);
    connect(abort, &QShortcut::activated, Command2, &QPushButton::click);

    setTabOrder(Command1, Dir1);
    setTabOrder(Dir1, Drive1);
    setTabOrder(Drive1, List1);
    setTabOrder(List1, Check1);
    setTabOrder(Check1, Check2);
    setTabOrder(Check2, TxtSel);
    setTabOrder(TxtSel, Check3);
    setTabOrder(Check3, txtDesc);
    setTabOrder(txtDesc, Check4);
    setTabOrder(Check4, Command2);
    Command1->setFocus();

    QPointer<QLabel> status = TxtStats;
    wd1().statusText = [status](const QString& text) {
        if (status)
            status->setText(text);
    };
    setStatusLine(wd1().statusText);
    QPointer<platform::DriveListBox> drives = Drive1;
    wd1().freeSpaceText = [drives](const QString& text) {
        if (drives)
            drives->setToolTip(text.isEmpty() ? QString() : QStringLiteral("Free: ") + text);
    };

    connect(Drive1, &platform::DriveListBox::Change, this, &Form1::Drive1_Change);
    connect(Dir1, &platform::DirListBox::Change, this, &Form1::Dir1_Change);
    connect(Dir1, &platform::DirListBox::MouseDown, this, &Form1::Dir1_MouseDown);
    // A value set by the program runs the click behaviour too, as long as it changes.
    connect(Check3, &QCheckBox::stateChanged, this, &Form1::Check3_Click);
    connect(txtDesc, &QLineEdit::editingFinished, this, &Form1::takeTypedDestination);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(&XceedZip1, &ArchiveEngine::progress, this, &Form1::XceedZip1_Progress,
            Qt::DirectConnection);
    connect(&XceedZip1, &ArchiveEngine::skippingFile, this, &Form1::XceedZip1_SkippingFile,
            Qt::DirectConnection);
    connect(&XceedZip1, &ArchiveEngine::queryCreateDirectory, this,
            &Form1::XceedZip1_QueryCreateDirectory, Qt::DirectConnection);
}

Form1::~Form1() {
    wd1().statusText = nullptr;
    wd1().freeSpaceText = nullptr;
}

void Form1::buildSelectionPanel() {
    Drive1 = new platform::DriveListBox(F1);
    layout::place(Drive1, 180, 240, 4695, 315);

    Dir1 = new platform::DirListBox(F1);
    Dir1->setToolTip(QStringLiteral("Select a directory where zip files exists and click unzip"));
    layout::place(Dir1, 180, 600, 4695, 2790);
    Dir1->setPath(platform::currentDirectory());
    File1->setPath(Dir1->path());

    Check1 = makeCheck(QStringLiteral("Delete File when done unziping?"), F1, 180, 3540, 2895, 255,
                       true);
    Check2 = makeCheck(QStringLiteral("Pause and wait if disk space falls below"), F1, 180, 3840,
                       3135, 195, true);
    TxtSel = new QLineEdit(QStringLiteral("10"), F1);
    layout::place(TxtSel, 3300, 3840, 555, 225);
    Label3 = makeLabel(QStringLiteral("Megabytes"), F1, 3900, 3840, 915, 195);
    Check3 =
        makeCheck(QStringLiteral("Use Destination Directory"), F1, 180, 4110, 2895, 195, false);
    txtDesc = new QLineEdit(F1);
    layout::place(txtDesc, 2310, 4110, 2595, 255);
    Check4 = makeCheck(QStringLiteral("Save log when done"), F1, 180, 4380, 2895, 195, false);
}

void Form1::buildStatusPanel() {
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    Label1 = makeLabel(QStringLiteral("Unziping:"), F2, 180, 240, 855, 255, right);
    TxtFile = makeLabel<platform::ElidedLabel>(QStringLiteral("None"), F2, 1080, 240, 3735, 255);
    PB1 = makeBar(F2, 180, 540, 4635, 255, QStringLiteral("Current archive progress"));
    Label2[0] = makeLabel(QStringLiteral("Overall:"), F2, 360, 900, 615, 195, right);
    PB2 = makeBar(F2, 180, 1140, 4635, 255, QStringLiteral("Overall progress"));
    Label2[3] = makeLabel(QStringLiteral("Log:"), F2, 360, 1440, 615, 195, right);
    List1 = new QListWidget(F2);
    layout::place(List1, 180, 1680, 4635, 2205);
    TxtSkip = makeLabel(QString(), F2, 180, 3960, 3360, 255);
    Command2 = new QPushButton(QStringLiteral("Abort"), F2);
    layout::place(Command2, 3600, 3960, 1215, 255);
    Label2[2] = makeLabel(QStringLiteral("Every zip, one after another"), F2, 90, 4410, 2895, 255,
                          Qt::AlignCenter);
    bordered(Label2[2]);
    Label2[1] =
        makeLabel(QStringLiteral("Made with Qt"), F2, 2970, 4410, 1875, 255, Qt::AlignCenter);
    bordered(Label2[1]);
}

void Form1::Form_Load() {
    AppVersion = QStringLiteral("Velmarch v1.1");
    setWindowTitle(AppVersion);
    {
        FrmAbout about;
        about.TxtVersion->setText(AppVersion);
        platform::dialogs().showModal(&about);
    }
    F1->show();
    F2->hide();
}

void Form1::Form_Unload() {
    if (!m_running)
        return;
    // The run is stopped where it stands: the engine discards the entry it is writing,
    // the search stops at its next step, and the run shows nothing more.
    m_closing = true;
    AbortFlag = -1;
    XceedZip1.setAbort(true);
    if (wd1().isworking())
        wd1().Cancel();
}

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void Form1::Drive1_Change() {
    const platform::FsError error = Dir1->setPath(Drive1->drive());
    if (error.number == platform::ErrDeviceUnavailable)
        platform::MsgBox(QStringLiteral("Drive not ready! insert Disk/CD in drive"));
    // The drive's root, not the list's text with its bracketed mount point.
    if (IsCDRomDrive(Drive1->driveRoot())) {
        Check1->setEnabled(false);
        Check1->setChecked(false);
    } else {
        Check1->setEnabled(true);
    }
}

void Form1::Dir1_Change() {
    File1->setPath(Dir1->path());
}

void Form1::Dir1_MouseDown() {
    TxtStats->setText(QStringLiteral("Total Files:") + Str(File1->listCount()));
}

void Form1::Check3_Click() {
    if (!Check3->isChecked())
        return;
    {
        FrmDir chooser(this);
        platform::dialogs().showModal(&chooser);
    }
    txtDesc->setText(ChosenDir);
}
