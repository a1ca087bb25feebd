#pragma once

// The one seam for everything modal: message boxes, modal windows and the file dialog.
// The program uses the Qt implementation; tests install a scripted one of their own.

#include <QList>
#include <QString>

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

enum class MsgBoxIcon { None, Critical, Question, Exclamation, Information };

// What a MsgBox style asks for, read from its bits: every implementation of the seam
// shows the same buttons with the same default.
struct MsgBoxShape {
    MsgBoxIcon icon = MsgBoxIcon::None;
    QList<int> answers{vbOK}; // the buttons' answers in the order they are shown
    int defaultButton = 1;    // 1-based, within the buttons shown

    bool yesNo() const { return answers == QList<int>{vbYes, vbNo}; }
    int defaultAnswer() const { return answers.at(defaultButton - 1); }
    // The answer of a box closed by its close box or Escape: No for Yes/No, OK for an OK
    // box, Cancel where there is a Cancel button.
    int closeAnswer() const;
};
MsgBoxShape msgBoxShape(int buttons);
// The title a message box shows: its own, or the application title when it has none.
QString shownTitle(const QString& title);

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

// Lets pending window events through: the program's one way of yielding during long work.
void DoEvents();

} // namespace platform
