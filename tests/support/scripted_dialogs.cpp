#include "tests/support/scripted_dialogs.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

namespace testsupport {

int ScriptedDialogs::msgBox(const QString& prompt, int buttons, const QString& title) {
    const platform::MsgBoxShape shape = platform::msgBoxShape(buttons);
    MessageRecord record;
    record.text = prompt;
    record.title = platform::shownTitle(title);
    record.buttons = buttons;
    record.icon = shape.icon;
    record.yesNo = shape.yesNo();
    record.defaultButton = shape.defaultButton;
    if (!m_answers.empty()) {
        record.answer = m_answers.front();
        m_answers.pop_front();
    } else {
        record.answer = shape.defaultAnswer();
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

QString ScriptedDialogs::fileDialog(const platform::FileDialogRequest& request) {
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

} // namespace testsupport
