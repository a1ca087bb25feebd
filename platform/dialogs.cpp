#include "platform/dialogs.h"

#include "platform/volumes.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QFileDialog>
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

QString shownTitle(const QString& title) {
    return title.isEmpty() ? QString::fromLatin1(kApplicationTitle) : title;
}

enum class ButtonSet { Ok, OkCancel, YesNoCancel, YesNo };

ButtonSet buttonSetOf(int buttons) {
    switch (buttons & 7) {
    case 1:
        return ButtonSet::OkCancel;
    case 3:
        return ButtonSet::YesNoCancel;
    case vbYesNo:
        return ButtonSet::YesNo;
    default:
        return ButtonSet::Ok;
    }
}

// The buttons' answers in the order they are shown.
QList<int> answersOf(ButtonSet set) {
    switch (set) {
    case ButtonSet::OkCancel:
        return {vbOK, vbCancel};
    case ButtonSet::YesNoCancel:
        return {vbYes, vbNo, vbCancel};
    case ButtonSet::YesNo:
        return {vbYes, vbNo};
    case ButtonSet::Ok:
        break;
    }
    return {vbOK};
}

// 1-based index of the default button, kept within the buttons shown.
int defaultButtonOf(int buttons, ButtonSet set) {
    const int wanted = (buttons & 512) ? 3 : (buttons & vbDefaultButton2) ? 2 : 1;
    return std::min<int>(wanted, int(answersOf(set).size()));
}

ScriptedDialogs::Icon iconOf(int buttons) {
    switch (buttons & 0x70) {
    case vbCritical:
        return ScriptedDialogs::Icon::Critical;
    case vbQuestion:
        return ScriptedDialogs::Icon::Question;
    case vbExclamation:
        return ScriptedDialogs::Icon::Exclamation;
    case vbInformation:
        return ScriptedDialogs::Icon::Information;
    default:
        return ScriptedDialogs::Icon::None;
    }
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
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(shownTitle(title));
    box.setText(prompt);
    box.setWindowIcon(QApplication::windowIcon());
    switch (iconOf(buttons)) {
    case ScriptedDialogs::Icon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case ScriptedDialogs::Icon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case ScriptedDialogs::Icon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case ScriptedDialogs::Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case ScriptedDialogs::Icon::None:
        break;
    }
    const ButtonSet set = buttonSetOf(buttons);
    const QList<int> answers = answersOf(set);
    QMessageBox::StandardButtons standard;
    for (int answer : answers)
        standard |= standardButtonFor(answer);
    box.setStandardButtons(standard);
    box.setDefaultButton(standardButtonFor(answers.at(defaultButtonOf(buttons, set) - 1)));
    // Closing a Yes/No box by its close box or Escape answers No; boxes with a Cancel
    // button answer Cancel; an OK box answers OK.
    if (set == ButtonSet::YesNo)
        box.setEscapeButton(QMessageBox::No);
    else if (set == ButtonSet::Ok)
        box.setEscapeButton(QMessageBox::Ok);
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
        return set == ButtonSet::Ok      ? int(vbOK)
               : set == ButtonSet::YesNo ? int(vbNo)
                                         : int(vbCancel);
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

int ScriptedDialogs::msgBox(const QString& prompt, int buttons, const QString& title) {
    const ButtonSet set = buttonSetOf(buttons);
    MessageRecord record;
    record.text = prompt;
    record.title = shownTitle(title);
    record.buttons = buttons;
    record.icon = iconOf(buttons);
    record.yesNo = set == ButtonSet::YesNo;
    record.defaultButton = defaultButtonOf(buttons, set);
    if (!m_answers.empty()) {
        record.answer = m_answers.front();
        m_answers.pop_front();
    } else {
        record.answer = answersOf(set).at(record.defaultButton - 1);
    }
    m_messages.push_back(record);
    if (onMessage)
        onMessage(m_messages.back());
    return record.answer;
}

void ScriptedDialogs::showModal(QWidget* window) {
    if (!window)
        return;
    QPointer<QWidget> guard(window);
    window->setWindowModality(Qt::ApplicationModal);
    window->show();
    QCoreApplication::processEvents();
    if (!guard)
        return;
    m_modalTitles.push_back(guard->windowTitle());
    if (!m_modalActions.empty()) {
        std::function<void(QWidget*)> action = std::move(m_modalActions.front());
        m_modalActions.pop_front();
        action(guard);
        QCoreApplication::processEvents();
    }
    if (guard && guard->isVisible()) {
        guard->close();
        QCoreApplication::processEvents();
    }
    // A window that deletes itself on close is gone when the caller regains control,
    // as it would be after a real modal loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString ScriptedDialogs::fileDialog(const FileDialogRequest& request) {
    m_fileDialogs.push_back(request);
    if (m_fileNames.empty())
        return {};
    QString name = m_fileNames.front();
    m_fileNames.pop_front();
    return name;
}

void ScriptedDialogs::clear() {
    m_answers.clear();
    m_modalActions.clear();
    m_fileNames.clear();
    m_messages.clear();
    m_modalTitles.clear();
    m_fileDialogs.clear();
}

} // namespace platform
