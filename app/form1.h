#pragma once

// The main window: the selection panel F1 and the status panel F2 in the same place, the
// status line and the "Unzip" button below them. A run is the body of Command1_Click.

#include "app/archive_engine.h"
#include "platform/own_files.h"

#include <QWidget>

#include <array>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QLockFile;
class QProgressBar;
class QPushButton;

namespace platform {
class DirListBox;
class DriveListBox;
class FileListBox;
} // namespace platform

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    // ---- controls on the window ----
    QPushButton* Command1 = nullptr; // "Unzip"
    QLabel* TxtStats = nullptr;
    QGroupBox* F1 = nullptr; // "Select Source"
    QGroupBox* F2 = nullptr; // "Status"
    QListWidget* Todo = nullptr;
    platform::FileListBox* File1 = nullptr;
    ArchiveEngine XceedZip1;

    // ---- in F1 ----
    platform::DriveListBox* Drive1 = nullptr;
    platform::DirListBox* Dir1 = nullptr;
    QCheckBox* Check1 = nullptr; // delete archives after a good extraction
    QCheckBox* Check2 = nullptr; // free-space guard
    QLineEdit* TxtSel = nullptr;
    QLabel* Label3 = nullptr;
    QCheckBox* Check3 = nullptr; // use the destination directory
    QLineEdit* txtDesc = nullptr;
    QCheckBox* Check4 = nullptr; // save the log

    // ---- in F2 ----
    QLabel* Label1 = nullptr;
    QLabel* TxtFile = nullptr;
    QProgressBar* PB1 = nullptr;
    std::array<QLabel*, 4> Label2{};
    QProgressBar* PB2 = nullptr;
    QListWidget* List1 = nullptr;
    QPushButton* Command2 = nullptr; // "Abort"
    // The last skip message, elided to its box; the full text is its tooltip.
    QLabel* TxtSkip = nullptr;

    // ---- handlers ----
    void Form_Load();
    void Form_Unload();
    void Drive1_Change();
    void Dir1_Change();
    void Dir1_MouseDown();
    void Check3_Click();
    void Command1_Click();
    void Command2_Click();
    void XceedZip1_Progress(qint16 percent);
    void XceedZip1_SkippingFile(const QString& entryName, qint16 reason);
    void XceedZip1_QueryCreateDirectory(const QString& directory, qint16& answer);
    // Says on the status line what the run waits for while the disk holds it up, and puts
    // back what it said before once the disk lets it go on.
    void XceedZip1_DiskWait(ArchiveEngine::DiskWait what);

    // The message for a skipped entry; empty for a reason the user is not told about.
    static QString skipMessage(const QString& entryName, qint16 reason);
    QString lastSkipMessage() const { return m_lastSkipMessage; }

    bool isRunning() const { return m_running; }
    // The log file the last run wrote (DOS path); empty when it wrote none.
    QString savedLogFile() const { return m_savedLogFile; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildSelectionPanel();
    void buildStatusPanel();
    void runBatch();
    void checkDestination();
    // A destination typed in host form is shown as the DOS path that reaches it; false,
    // after saying why, when none does.
    bool takeTypedDestination();
    // Deletes an extracted archive when asked to; the reason it was kept, empty when it went
    // or was not to go.
    QString deleteArchive(const QString& archive, const QString& name);
    // The run's last log line: how many archives were extracted, failed and kept, and how
    // many folders the search passed over.
    QString runSummary() const;
    void saveLog();
    // Takes the list file's lock, clearing one that nothing alive holds and waiting for a
    // live holder until the user stops the wait; false when the run is to end.
    bool lockList(QLockFile& lock, const QString& lockFile);
    void reportFileError(const QString& what, const QString& path, const QString& reason);

    // The directory the run's search walked (DOS path ending in "\"): only files below it
    // are extracted and deleted.
    QString m_searchedDirectory;
    struct RunCounts {
        int extracted = 0;
        int failed = 0;
        int kept = 0;
    } m_runCounts;
    bool m_running = false;
    bool m_closing = false;
    QString m_lastSkipMessage;
    QString m_savedLogFile;
    QString m_statusBeforeWait; // the status line before the disk held the run up
    // The list file and the log: written only where they are the program's own.
    platform::OwnFile m_listFile{"velmarch.list"};
    platform::OwnFile m_logFile{"velmarch.log"};
};
