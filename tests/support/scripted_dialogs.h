#pragma once

// The dialogs seam for tests and the headless driver: records every call and answers from
// a script instead of waiting for a user.

#include "platform/dialogs.h"

#include <QString>

#include <deque>
#include <functional>
#include <vector>

namespace testsupport {

// Without a scripted answer a message box answers its default button, and a modal window
// is closed as by its close box.
class ScriptedDialogs : public platform::Dialogs {
public:
    using Icon = platform::MsgBoxIcon;

    struct MessageRecord {
        QString text;
        QString title; // as shown: the application title when none was given
        int buttons = 0;
        Icon icon = Icon::None;
        bool yesNo = false;
        int defaultButton = 1; // 1 first button, 2 second
        int answer = 0;
    };

    int msgBox(const QString& prompt, int buttons, const QString& title) override;
    void showModal(QWidget* window) override;
    QString fileDialog(const platform::FileDialogRequest& request) override;

    // Answers for the next message boxes, in order.
    void queueAnswer(int answer) { m_answers.push_back(answer); }
    // Actions on the next modal windows, in order: each acts on the window (types a path,
    // clicks a button). A window still open after its action is closed.
    void queueModalAction(std::function<void(QWidget*)> action) {
        m_modalActions.push_back(std::move(action));
    }
    void queueFileName(const QString& name) { m_fileNames.push_back(name); }
    // Called on every message box after it was recorded (tests act during a run with it).
    std::function<void(const MessageRecord&)> onMessage;

    const std::vector<MessageRecord>& messages() const { return m_messages; }
    const std::vector<QString>& modalWindowTitles() const { return m_modalTitles; }
    const std::vector<platform::FileDialogRequest>& fileDialogs() const { return m_fileDialogs; }
    void clear();

private:
    std::deque<int> m_answers;
    std::deque<std::function<void(QWidget*)>> m_modalActions;
    std::deque<QString> m_fileNames;
    std::vector<MessageRecord> m_messages;
    std::vector<QString> m_modalTitles;
    std::vector<platform::FileDialogRequest> m_fileDialogs;
};

// Installs a ScriptedDialogs for the lifetime of the object.
class ScopedDialogs {
public:
    ScopedDialogs() { platform::installDialogs(&m_dialogs); }
    ~ScopedDialogs() { platform::installDialogs(nullptr); }
    ScopedDialogs(const ScopedDialogs&) = delete;
    ScopedDialogs& operator=(const ScopedDialogs&) = delete;

    ScriptedDialogs& operator*() { return m_dialogs; }
    ScriptedDialogs* operator->() { return &m_dialogs; }
    ScriptedDialogs& get() { return m_dialogs; }

private:
    ScriptedDialogs m_dialogs;
};

} // namespace testsupport
