#include "platform/dialogs.h"

#include "platform/volumes.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <algorithm>

namespace platform {

namespace {

Dialogs* g_installed = nullptr;

QtDialogs& qtDialogs() {
    static QtDialogs instance;
    return instance;
}

// The icon Qt shows for a style's icon, and what it means for a screen reader, which
// otherwise hears a picture.
struct ShownIcon {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    const char* meaning = "";
};

ShownIcon shownIcon(MsgBoxIcon icon) {
    switch (icon) {
    case MsgBoxIcon::Critical:
        return {QMessageBox::Critical, "Error"};
    case MsgBoxIcon::Question:
        return {QMessageBox::Question, "Question"};
    case MsgBoxIcon::Exclamation:
        return {QMessageBox::Warning, "Warning"};
    case MsgBoxIcon::Information:
        return {QMessageBox::Information, "Information"};
    case MsgBoxIcon::None:
        break;
    }
    return {};
}

QMessageBox::StandardButton standardButtonFor(int answer) {
    switch (answer) {
    case vbCancel:
        return QMessageBox::Cancel;
    case vbYes:
        return QMessageBox::Yes;
    case vbNo:
        return QMessageBox::No;
    default:
        return QMessageBox::Ok;
    }
}

// Ends a local event loop once the watched window is hidden or gone.
class CloseWatcher : public QObject {
public:
    CloseWatcher(QWidget* window, QEventLoop* loop) : m_loop(loop) {
        window->installEventFilter(this);
        connect(window, &QObject::destroyed, loop, &QEventLoop::quit);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Hide && watched->isWidgetType() &&
            !static_cast<QWidget*>(watched)->isVisible())
            m_loop->quit();
        return QObject::eventFilter(watched, event);
    }

private:
    QEventLoop* m_loop;
};

} // namespace

int MsgBoxShape::closeAnswer() const {
    if (yesNo())
        return vbNo;
    return answers.size() == 1 ? int(vbOK) : int(vbCancel);
}

MsgBoxShape msgBoxShape(int buttons) {
    MsgBoxShape shape;
    switch (buttons & 7) {
    case 1:
        shape.answers = {vbOK, vbCancel};
        break;
    case 3:
        shape.answers = {vbYes, vbNo, vbCancel};
        break;
    case vbYesNo:
        shape.answers = {vbYes, vbNo};
        break;
    default:
        break;
    }
    const int wanted = (buttons & 512) ? 3 : (buttons & vbDefaultButton2) ? 2 : 1;
    shape.defaultButton = std::min<int>(wanted, int(shape.answers.size()));
    // The icon is a number in bits 4 to 6: 16 critical to 64 information; others show none.
    constexpr MsgBoxIcon icons[] = {MsgBoxIcon::None,        MsgBoxIcon::Critical,
                                    MsgBoxIcon::Question,    MsgBoxIcon::Exclamation,
                                    MsgBoxIcon::Information, MsgBoxIcon::None,
                                    MsgBoxIcon::None,        MsgBoxIcon::None};
    shape.icon = icons[(buttons & 0x70) >> 4];
    return shape;
}

QString shownTitle(const QString& title) {
    return title.isEmpty() ? QString::fromLatin1(kApplicationTitle) : title;
}

Dialogs& dialogs() {
    return g_installed ? *g_installed : qtDialogs();
}

void installDialogs(Dialogs* dialogs) {
    g_installed = dialogs;
}

int MsgBox(const QString& prompt, int buttons, const QString& title) {
    return dialogs().msgBox(prompt, buttons, title);
}

void DoEvents() {
    QCoreApplication::processEvents();
}

int QtDialogs::msgBox(const QString& prompt, int buttons, const QString& title) {
    const MsgBoxShape shape = msgBoxShape(buttons);
    QWidget* parent = QApplication::activeWindow();
    QMessageBox box(parent);
    // A window takes the desktop's font unless its screen is too small for its layout at
    // that size; the box then speaks in the window's smaller size rather than a second one.
    if (parent != nullptr)
        box.setFont(parent->font());
    box.setWindowTitle(shownTitle(title));
    box.setText(prompt);
    box.setWindowIcon(QApplication::windowIcon());
    const ShownIcon icon = shownIcon(shape.icon);
    box.setIcon(icon.icon);
    if (auto* picture = box.findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label")))
        picture->setAccessibleName(QString::fromLatin1(icon.meaning));
    QMessageBox::StandardButtons standard;
    for (int answer : shape.answers)
        standard |= standardButtonFor(answer);
    box.setStandardButtons(standard);
    box.setDefaultButton(standardButtonFor(shape.defaultAnswer()));
    // With a Cancel button Qt's own Escape handling already answers Cancel.
    if (shape.closeAnswer() != vbCancel)
        box.setEscapeButton(standardButtonFor(shape.closeAnswer()));
    box.exec();
    switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Yes:
        return vbYes;
    case QMessageBox::No:
        return vbNo;
    case QMessageBox::Cancel:
        return vbCancel;
    case QMessageBox::Ok:
        return vbOK;
    default:
        return shape.closeAnswer();
    }
}

void QtDialogs::showModal(QWidget* window) {
    if (!window)
        return;
    window->setWindowModality(Qt::ApplicationModal);
    if (auto* dialog = qobject_cast<QDialog*>(window)) {
        dialog->exec();
        return;
    }
    QPointer<QWidget> guard(window);
    QEventLoop loop;
    CloseWatcher watcher(window, &loop);
    window->show();
    if (guard && guard->isVisible())
        loop.exec(QEventLoop::DialogExec);
    if (guard)
        guard->removeEventFilter(&watcher);
}

QString QtDialogs::fileDialog(const FileDialogRequest& request) {
    QWidget* parent = QApplication::activeWindow();
    const QString start = toHostPath(currentDirectory());
    const QString host = request.action == 2
                             ? QFileDialog::getSaveFileName(parent, request.title, start)
                             : QFileDialog::getOpenFileName(parent, request.title, start);
    return host.isEmpty() ? QString() : toDosPath(host);
}

} // namespace platform
