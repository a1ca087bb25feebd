#pragma once

// The one seam for everything modal: message boxes, modal windows and the file dialog.
// The program installs the Qt implementation; tests install ScriptedDialogs.

#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace platform {

// MsgBox constants of the old runtime.
enum MsgBoxStyle : int {
    vbOKOnly = 0,
    vbYesNo = 4,
    vbCritical = 16,
    vbQuestion = 32,
    vbExclamation = 48,
    vbInformation = 64,
    vbDefaultButton2 = 256,
};
enum MsgBoxResult : int { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

// The application title that a message box without a title of its own carries.
inline const char* const kApplicationTitle = "Velmarch";

struct FileDialogRequest {
    QString title;
    int flags = 0;  // passed through unchanged
    int action = 1; // 1 open, 2 save
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Shows a modal message box; answers vbOK, vbYes or vbNo. An empty title means the
    // application title.
    virtual int msgBox(const QString& prompt, int buttons, const QString& title) = 0;
    // Shows a window modally and returns once it has closed.
    virtual void showModal(QWidget* window) = 0;
    // The file dialog; empty when cancelled.
    virtual QString fileDialog(const FileDialogRequest& request) = 0;
};

// The implementation in force (the Qt one unless a test installed another).
Dialogs& dialogs();
// Installs an implementation; the caller keeps ownership. nullptr restores the Qt one.
void installDialogs(Dialogs* dialogs);

// The old runtime's MsgBox, through the seam.
int MsgBox(const QString& prompt, int buttons = vbOKOnly, const QString& title = QString());

class QtDialogs : public Dialogs {
public:
    int msgBox(const QString& prompt, int buttons, const QString& title) override;
    void showModal(QWidget* window) override;
    QString fileDialog(const FileDialogRequest& request) override;
};

// Records every call and answers from a script. Without a scripted answer a message box
// answers its default button, and a modal window is closed as by its close box.
class ScriptedDialogs : public Dialogs {
public:
    enum class Icon { None, Critical, Question, Exclamation, Information };

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
    QString fileDialog(const FileDialogRequest& request) override;

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
    const std::vector<FileDialogRequest>& fileDialogs() const { return m_fileDialogs; }
    void clear();

private:
    std::deque<int> m_answers;
    std::deque<std::function<void(QWidget*)>> m_modalActions;
    std::deque<QString> m_fileNames;
    std::vector<MessageRecord> m_messages;
    std::vector<QString> m_modalTitles;
    std::vector<FileDialogRequest> m_fileDialogs;
};

// Lets pending window events through: the program's one way of yielding during long work.
void DoEvents();

} // namespace platform
