// Shows the real windows on an X display under a window manager and looks at them as a
// user would: at each desktop font size given, every caption must be whole, each window
// must use one font and a message box over the main window that font too; the chooser must
// be laid out from the frame it really has. Every window is saved as a screenshot (frame
// included) for a person to look at.
//
//   velmarch_window_shots fonts OUTDIR POINTSIZE...   exit 0 when nothing clipped
//   velmarch_window_shots readme OUTDIR SOURCEDIR     main window, then a run in progress

#include "app/form1.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "platform/volumes.h"
#include "windows/frm_about.h"
#include "windows/frm_dir.h"
#include "windows/twips_layout.h"
#include "windows/window_frame.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextStream>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <utility>

namespace {

QTextStream err(stderr);

// Lets window events through until `done` holds; false if it never did.
bool waitFor(const std::function<bool()>& done, int seconds = 20) {
    const QDeadlineTimer deadline(seconds * 1000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

// Answers every message box with its first button and opens no modal window, so that
// the about window does not wait for a click and a run ends on its own.
class ShotDialogs : public platform::Dialogs {
public:
    int msgBox(const QString& prompt, int, const QString&) override {
        if (onMessage)
            onMessage(prompt);
        return platform::vbOK;
    }
    std::function<void(const QString&)> onMessage;
    void showModal(QWidget*) override {}
    QString fileDialog(const platform::FileDialogRequest&) override { return QString(); }
};

void save(QWidget* window, const QString& path) {
    window->raise();
    window->activateWindow();
    window->repaint();
    QCoreApplication::processEvents();
    const QRect frame = window->frameGeometry();
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(),
                                                                frame.width(), frame.height());
    if (shot.isNull())
        shot = window->grab();
    if (!shot.save(path))
        err << "cannot save " << path << Qt::endl;
}

void show(QWidget* window) {
    window->show();
    if (!waitFor([window] { return window->isVisible() && window->windowHandle()->isExposed(); }))
        err << window->windowTitle() << ": never exposed" << Qt::endl;
}

int layoutHeight(const QWidget* w) {
    return layout::pixels(w, layout::twipsBox(w)).height();
}

// What a user would find cut off in `window`, one line each; checked from what each
// control draws, whatever the code that chose the font.
QStringList clippedCaptions(QWidget* window) {
    QStringList problems;
    std::set<qreal> sizes;
    const QString where = window->windowTitle() + QStringLiteral(": ");
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window))
            continue;
        const QFontMetrics metrics(w->font());
        const QStyle* style = w->style();
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
        QString text;
        int needWidth = 0;
        int room = w->width();
        int heightRoom = layoutHeight(w);
        if (auto* elided = qobject_cast<platform::ElidedLabel*>(w)) {
            text = elided->shownText();
            needWidth = metrics.horizontalAdvance(text) + 2 * elided->frameWidth();
            heightRoom -= 2 * elided->frameWidth();
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            if (!label->pixmap().isNull())
                continue;
            text = label->text();
            needWidth = metrics.horizontalAdvance(text) + 2 * label->frameWidth();
            heightRoom -= 2 * label->frameWidth();
        } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
            text = check->text();
            needWidth = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, w) +
                        style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, w) +
                        metrics.horizontalAdvance(text);
            // A sibling placed over the end of the box hides what lies under it.
            for (QWidget* sibling :
                 w->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                if (sibling != w && sibling->isVisibleTo(window) &&
                    sibling->geometry().intersects(w->geometry()) && sibling->x() > w->x())
                    room = std::min(room, sibling->x() - w->x());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            text = button->text().remove(u'&');
            needWidth = metrics.horizontalAdvance(text) +
                        2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w);
            heightRoom -= 2 * frame;
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            text = group->title();
            needWidth = metrics.horizontalAdvance(text);
            heightRoom = metrics.height();
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            text = edit->text();
            heightRoom -= 2 * frame;
        } else {
            continue;
        }
        sizes.insert(w->font().pointSizeF());
        if (needWidth > room)
            problems << where + QStringLiteral("\"%1\" needs %2 px, has %3")
                                    .arg(text)
                                    .arg(needWidth)
                                    .arg(room);
        if (metrics.height() > heightRoom)
            problems << where + QStringLiteral("\"%1\" is %2 px high, has %3")
                                    .arg(text)
                                    .arg(metrics.height())
                                    .arg(heightRoom);
    }
    if (sizes.size() != 1) {
        QStringList listed;
        for (qreal size : sizes)
            listed << QString::number(size);
        problems
            << where + QStringLiteral("%1 font sizes: %2").arg(sizes.size()).arg(listed.join(u' '));
    }
    return problems;
}

// Under a window manager the chooser's rule must see the frame at first show, and the
// first resize by the user must change the list by what it changed the window.
QStringList chooserFrameProblems(FrmDir& chooser, const QString& shot) {
    QStringList problems;
    const auto outerHeight = [&] {
        return chooser.height() + layout::windowFrame(&chooser).top() +
               layout::windowFrame(&chooser).bottom();
    };
    if (!waitFor([&] { return layout::windowFrame(&chooser).top() > 0; })) {
        problems << QStringLiteral("chooser: no frame from the window manager");
        return problems;
    }
    // The rule, unless the bottom row would then leave the window.
    const auto expectedList = [&] {
        const int scale = layout::twipsPerPixel(&chooser);
        const int rule = (layout::toTwips(&chooser, outerHeight()) - 1195) / scale;
        const int room =
            (layout::toTwips(&chooser, chooser.height()) -
             layout::twipsBox(chooser.FileDir1).top() - layout::twipsBox(chooser.Label1).height() -
             layout::twipsBox(chooser.txtPath).height()) /
            scale;
        return std::min(rule, room);
    };
    // The layout follows the window manager's word, from the event loop.
    waitFor([&] { return chooser.FileDir1->height() == expectedList(); }, 5);
    err << "chooser: client " << chooser.height() << " px, outer " << outerHeight() << " px, list "
        << chooser.FileDir1->height() << " px" << Qt::endl;
    if (chooser.FileDir1->height() != expectedList())
        problems << QStringLiteral("chooser: list %1 px at first show, rule says %2")
                        .arg(chooser.FileDir1->height())
                        .arg(expectedList());
    const std::pair<const char*, const QWidget*> bottomRow[] = {{"the path box", chooser.txtPath},
                                                                {"APPLY", chooser.Command1},
                                                                {"ABORT", chooser.Command2}};
    for (const auto& [name, part] : bottomRow) {
        if (part->geometry().bottom() >= chooser.height())
            problems << QStringLiteral("chooser: %1 is cut at the window's bottom edge")
                            .arg(QLatin1String(name));
    }
    save(&chooser, shot);
    const int before = chooser.FileDir1->height();
    const int target = chooser.height() + 30;
    chooser.resize(chooser.width(), target);
    if (!waitFor([&] { return chooser.height() == target; }))
        problems << QStringLiteral("chooser: the window manager refused the resize");
    else if (chooser.FileDir1->height() != before + 30)
        problems << QStringLiteral("chooser: a 30 px resize moved the list from %1 to %2 px")
                        .arg(before)
                        .arg(chooser.FileDir1->height());
    return problems;
}

// A real message box over `form`: its text must be in the window's size.
QStringList messageBoxProblems(Form1& form, const QString& shot) {
    QStringList problems;
    form.activateWindow();
    waitFor([&] { return form.isActiveWindow(); }, 5);
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            problems << QStringLiteral("message box: never shown");
            return;
        }
        show(box);
        save(box, shot);
        const auto* text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        if (text == nullptr || text->font().pointSizeF() != form.font().pointSizeF())
            problems << QStringLiteral("message box: text at %1 pt, the window's at %2 pt")
                            .arg(text ? text->font().pointSizeF() : 0)
                            .arg(form.font().pointSizeF());
        box->close();
    });
    platform::QtDialogs().msgBox(QStringLiteral("Done!"),
                                 platform::vbOKOnly | platform::vbInformation, QString());
    return problems;
}

int fonts(const QString& outDir, const QStringList& pointSizes) {
    ShotDialogs dialogs;
    platform::installDialogs(&dialogs);
    const QString dpi =
        QString::number(qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch()));
    QStringList problems;
    bool frameChecked = false;
    for (const QString& given : pointSizes) {
        QFont desktop = QApplication::font();
        desktop.setPointSizeF(given.toDouble());
        QApplication::setFont(desktop);
        const QString tag = given + QStringLiteral("pt-") + dpi + QStringLiteral("dpi");

        Form1 form;
        form.Form_Load();
        show(&form);
        problems << clippedCaptions(&form);
        save(&form, outDir + QStringLiteral("/main-") + tag + QStringLiteral(".png"));
        problems << messageBoxProblems(form, outDir + QStringLiteral("/message-") + tag +
                                                 QStringLiteral(".png"));
        // The status panel as a run shows it, with texts longer than their boxes.
        form.F1->hide();
        form.F2->show();
        form.F2->setTitle(QStringLiteral("Total Files: 12"));
        form.TxtFile->setText(QStringLiteral("a-very-long-archive-name-from-a-camera-backup-"
                                             "2019-08-14-holiday-pictures-part-07.zip"));
        form.TxtStats->setText(QStringLiteral("Could not delete c:\\zips\\holiday\\part-07.zip: "
                                              "Permission denied"));
        form.List1->addItem(QStringLiteral("part-06.zip Unziped Fine"));
        form.PB1->setValue(40);
        form.PB2->setRange(0, 12);
        form.PB2->setValue(7);
        problems << clippedCaptions(&form);
        save(&form, outDir + QStringLiteral("/run-") + tag + QStringLiteral(".png"));
        form.hide();

        FrmDir chooser;
        show(&chooser);
        problems << clippedCaptions(&chooser);
        const QString chooserShot =
            outDir + QStringLiteral("/chooser-") + tag + QStringLiteral(".png");
        if (frameChecked) {
            save(&chooser, chooserShot);
        } else {
            problems << chooserFrameProblems(chooser, chooserShot);
            frameChecked = true;
        }
        chooser.hide();

        FrmAbout about;
        about.TxtVersion->setText(QStringLiteral("Velmarch v1.1"));
        show(&about);
        problems << clippedCaptions(&about);
        save(&about, outDir + QStringLiteral("/about-") + tag + QStringLiteral(".png"));
        const auto described = [](const QWidget& window) {
            return QStringLiteral("%1x%2 px at %3 twips/px, %4 pt")
                .arg(window.width())
                .arg(window.height())
                .arg(layout::twipsPerPixel(&window))
                .arg(window.font().pointSizeF());
        };
        err << tag << ": main " << described(form) << "; chooser " << described(chooser)
            << "; about " << described(about) << Qt::endl;
    }
    platform::installDialogs(nullptr);
    for (const QString& problem : problems)
        err << problem << Qt::endl;
    return problems.isEmpty() ? 0 : 1;
}

int readme(const QString& outDir, const QString& source) {
    ShotDialogs dialogs;
    platform::installDialogs(&dialogs);
    Form1 form;
    form.Form_Load();
    const QString dos = platform::toDosPath(QDir(source).canonicalPath());
    form.Drive1->setDrive(dos.left(2));
    form.Dir1->setPath(dos);
    // Each archive into its own folder; a destination typed in keeps the run from asking.
    form.txtDesc->setText(dos);
    show(&form);
    save(&form, outDir + QStringLiteral("/main-window.png"));

    // Taken once, halfway through an archive after the first few are done.
    bool taken = false;
    QObject::connect(form.PB1, &QProgressBar::valueChanged, [&](int value) {
        if (taken || form.List1->count() < 1 || value < 20 || value > 90)
            return;
        taken = true;
        save(&form, outDir + QStringLiteral("/run.png"));
    });
    // And its end, as "Done!" shows, with the log saying what failed and why.
    bool ended = false;
    dialogs.onMessage = [&](const QString& prompt) {
        if (prompt == QLatin1String("Done!")) {
            ended = true;
            save(&form, outDir + QStringLiteral("/run-end.png"));
        }
    };
    form.Command1->click();
    platform::installDialogs(nullptr);
    if (!taken)
        err << "the run ended before it could be shown" << Qt::endl;
    return taken && ended ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmarch"));
    const QStringList args = QApplication::arguments().mid(1);
    if (args.size() >= 3 && args.at(0) == QLatin1String("fonts"))
        return fonts(args.at(1), args.mid(2));
    if (args.size() == 3 && args.at(0) == QLatin1String("readme"))
        return readme(args.at(1), args.at(2));
    err << "usage: velmarch_window_shots fonts OUTDIR POINTSIZE... | readme OUTDIR SOURCEDIR"
        << Qt::endl;
    return 2;
}
