#include "app/form1.h"

#include "app/extraction_report.h"

#include "common/module1.h"
#include "common/numbers.h"
#include "platform/archive_removal.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "platform/dosfs.h"
#include "platform/volumes.h"
#include "search/wd1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLockFile>
#include <QProgressBar>
#include <QTimer>

#include <initializer_list>
#include <optional>
#include <vector>

using platform::MsgBox;

namespace {

const QString kNoArchives = QStringLiteral("Pick a dir that has zips!");
// Lines that explain the archive line above them.
const QString kLogIndent = QStringLiteral("    ");
constexpr int kLockPollMs = 100;
constexpr int kFrameMs = 50;

// A file in the program's directory; a drive root already ends in its separator.
QString programFile(QChar separator, const QString& name) {
    QString directory = platform::programDirectory();
    if (!directory.endsWith(u'\\') && !directory.endsWith(u'/'))
        directory += separator;
    return directory + name;
}

QString sourceUnreadable(const QString& folder, const QString& reason) {
    return QStringLiteral("Could not read the source folder ") + folder + QStringLiteral(": ") +
           reason;
}

// The log's word on a folder the search passed over.
QString passedOverLine(const Wd1::PassedOver& folder, const QString& source) {
    if (folder.kind == Wd1::PassedOver::NotEntered)
        return QStringLiteral("Not searched: ") + folder.folder + QStringLiteral(" (") +
               folder.reason + u')';
    if (folder.folder == source)
        return sourceUnreadable(folder.folder, folder.reason);
    return QStringLiteral("Skipped folder ") + folder.folder + QStringLiteral(": ") + folder.reason;
}

// A list line as the log shows it: control characters would break the log file's lines.
QString printable(QString line) {
    for (QChar& c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = u'?';
    return line;
}

// Draws the progress bars at most once a frame while it lives, and only a bar whose value
// changed. A bar repaints itself at once on every new value, and a batch sets them many
// times a frame; the labels and the log only ask for an update, which the event loop
// gathers. Repainting the whole status panel each frame instead cost a tenth of a run of
// many small files: the panel is large, and Qt's raster engine hands its fills to a thread
// pool that competes with the engine's threads for the cores.
class PacedBars {
public:
    PacedBars(std::initializer_list<QProgressBar*> bars, int frameMs) {
        for (QProgressBar* bar : bars) {
            bar->setUpdatesEnabled(false);
            m_bars.push_back({bar, bar->value()});
        }
        QObject::connect(&m_frame, &QTimer::timeout, [this] { drawChanged(); });
        m_frame.start(frameMs);
    }
    ~PacedBars() {
        for (const Paced& paced : m_bars)
            paced.bar->setUpdatesEnabled(true);
    }
    PacedBars(const PacedBars&) = delete;
    PacedBars& operator=(const PacedBars&) = delete;

private:
    struct Paced {
        QProgressBar* bar;
        int shown;
    };

    void drawChanged() {
        for (Paced& paced : m_bars) {
            if (paced.bar->value() == paced.shown)
                continue;
            paced.shown = paced.bar->value();
            paced.bar->setUpdatesEnabled(true);
            paced.bar->repaint();
            paced.bar->setUpdatesEnabled(false);
        }
    }

    std::vector<Paced> m_bars;
    QTimer m_frame;
};

} // namespace

void Form1::Command1_Click() {
    // The button stays enabled while a run lets events through; a second run inside the
    // first would share its archive list, counters and abort flag.
    if (m_running)
        return;
    m_running = true;
    m_savedLogFile.clear();
    runBatch();
    m_running = false;
    if (m_closing)
        QCoreApplication::quit();
}

void Form1::runBatch() {
    AbortFlag = 0;
    m_runCounts = {};
    // The run's waits on the disk (its extractions, the step before each deletion) are its
    // to show on the status line.
    connect(&XceedZip1, &ArchiveEngine::diskWait, this, &Form1::XceedZip1_DiskWait,
            Qt::UniqueConnection);
    // An Abort pressed after the last run's last archive was for that run.
    XceedZip1.setAbort(false);

    if (IsCDRomDrive(Drive1->driveRoot())) {
        MsgBox(QStringLiteral("U New!?!? Can't use a CDRom as the Destination! Pick a new one!"));
        Check3_Click();
        return;
    }

    if (txtDesc->text().isEmpty()) {
        MsgBox(QStringLiteral("You must select a destination path"),
               platform::vbOKOnly | platform::vbCritical);
        Check3->setChecked(true);
    }

    Todo->clear();
    SetStatus(QStringLiteral("Grabing the Files.. Hold on a sec..."));

    const QString defaultList = programFile(u'\\', QStringLiteral("unzip.tmp"));
    // Copies of the program running at once share the list file: each holds this lock from
    // taking the list's name to reading its own list back.
    const QString listHost = platform::toHostPath(defaultList);
    QLockFile listLock(listHost.isEmpty() ? QString() : listHost + QStringLiteral(".lock"));
    listLock.setStaleLockTime(0);
    if (!listHost.isEmpty() && !lockList(listLock, defaultList + QStringLiteral(".lock")))
        return;
    // A list that survives would be read back as this run's archives: the program's own old
    // list is emptied, and a file of that name that it did not make (one a run extracted)
    // stays as it is, with this run's list beside it.
    QString listFile;
    platform::FsError listError = m_listFile.create(defaultList, &listFile);
    if (!listError)
        listError = m_listFile.close();
    if (listError) {
        reportFileError(tr("make the list file"), defaultList, listError.description);
        return;
    }

    // The component refuses a start folder it cannot read, and would then search the one it
    // held before: such a search is not this run's.
    const QString source = Dir1->path() + QStringLiteral("\\");
    const auto refuseSource = [&] {
        const platform::DirListing listing(source, platform::AttrDirectory);
        if (listing.error())
            List1->addItem(sourceUnreadable(source, listing.error().description));
        MsgBox(kNoArchives);
    };
    if (!wd1().FolderExists(source)) {
        refuseSource();
        return;
    }
    wd1().setSPath(source);
    wd1().setPattern(QStringLiteral("*.zip"));
    wd1().setOutFile(listFile);
    wd1().setRecurse(true);
    platform::DoEvents();
    if (m_closing)
        return;
    wd1().GetAll();
    if (m_closing)
        return;
    if (wd1().tpath != source) {
        refuseSource();
        return;
    }
    m_searchedDirectory = wd1().tpath;
    for (const Wd1::PassedOver& folder : std::as_const(wd1().passedOver))
        List1->addItem(passedOverLine(folder, m_searchedDirectory));

    SetStatus(QStringLiteral("Loading List"));
    if (!wd1().Exists(listFile)) {
        MsgBox(kNoArchives);
        return;
    }
    QStringList lines;
    if (const platform::FsError error = platform::readLines(listFile, &lines)) {
        reportFileError(tr("read the list file"), listFile, error.description);
        return;
    }
    listLock.unlock();
    // The list file is a text anyone can write to: a line that does not name a file below
    // the directory searched is neither extracted nor deleted.
    QStringList archives;
    for (const QString& line : std::as_const(lines)) {
        if (platform::namesBelow(m_searchedDirectory, line))
            archives.append(line);
        else
            List1->addItem(QStringLiteral("Skipped \"") + printable(line) +
                           QStringLiteral("\": not a file below ") + m_searchedDirectory);
    }
    Todo->addItems(archives);

    F1->hide();
    F2->show();

    const int N = Todo->count();
    if (N == 0) {
        MsgBox(kNoArchives);
        F2->hide();
        F1->show();
        return;
    }

    checkDestination();

    F2->setTitle(QStringLiteral("Total Files:") + Str(N));
    PB2->setRange(0, N);
    SetStatus(QStringLiteral("Unziping Files"));

    std::optional<PacedBars> paced(std::in_place, std::initializer_list<QProgressBar*>{PB1, PB2},
                                   kFrameMs);
    for (int i = 0; i < N; ++i) {
        if (AbortFlag)
            break;
        PB2->setValue(i);
        const QString P = Todo->item(i)->text();
        TxtFile->setText(FilePart(P));
        const QString A = TxtFile->text();
        const QString E = Check3->isChecked() ? txtDesc->text() : PathPart(P);

        if (Check2->isChecked()) {
            const double F = destinationFreeBytes(E);
            const double T = MegabytesToBytes(TxtSel->text());
            if (F < T) {
                const int answer = MsgBox(QStringLiteral("Diskspace Under ") + TxtSel->text() +
                                              QStringLiteral(" Megs"),
                                          platform::vbYesNo | platform::vbCritical,
                                          QStringLiteral("You Need More Megs Free!!"));
                if (answer == platform::vbNo) {
                    F2->hide();
                    F1->show();
                    return;
                }
            }
        }

        XceedZip1.Overwrite = 0;
        XceedZip1.FilesToProcess = QStringLiteral("*.*");
        XceedZip1.recurse = true;
        XceedZip1.ExtractDirectory = E;
        XceedZip1.ZipFileName = P;
        const int R = XceedZip1.Extract();
        if (m_closing)
            return;

        // Under each archive's line, indented, what went wrong or was left alone, and an
        // archive kept although extracted: the saved log holds the same lines.
        QStringList notes;
        if (R > 0 && R != ArchiveEngine::NothingToExtract) {
            List1->addItem(A + QStringLiteral(" Could not unzip :("));
            notes.append(failureReason(R, XceedZip1.findings()));
            ++m_runCounts.failed;
        } else {
            List1->addItem(A + QStringLiteral(" Unziped Fine"));
            ++m_runCounts.extracted;
            notes.append(skipSummary(XceedZip1.findings()));
            const QString kept = deleteArchive(P, A);
            if (m_closing)
                return;
            if (!kept.isEmpty()) {
                notes.append(QStringLiteral("kept ") + A + QStringLiteral(": ") + kept);
                ++m_runCounts.kept;
            }
        }
        for (const QString& note : std::as_const(notes))
            if (!note.isEmpty())
                List1->addItem(kLogIndent + printable(note));
    }

    paced.reset();
    List1->addItem(runSummary());
    List1->scrollToBottom();

    if (Check4->isChecked())
        saveLog();
    // A long run ends while the user is elsewhere: the taskbar entry asks for attention.
    if (!isActiveWindow())
        QApplication::alert(this);
    MsgBox(QStringLiteral("Done!"));
    F2->hide();
    F1->show();
}

void Form1::saveLog() {
    TxtStats->setText(QStringLiteral("Done... Saving Log File..."));
    const QString logFile = programFile(u'/', QStringLiteral("velmarch.log"));
    // Only the program's own log is written over: a file of that name that a run extracted
    // stays as it is, and the log goes beside it.
    QString savedTo;
    platform::FsError error = m_logFile.create(logFile, &savedTo);
    if (!error && savedTo != logFile)
        List1->addItem(QStringLiteral("Log saved as ") + savedTo + QStringLiteral(": ") + logFile +
                       QStringLiteral(" is not Velmarch's own log"));
    for (int i = 0; !error && i < List1->count(); ++i)
        error = m_logFile.writeLine(List1->item(i)->text());
    const platform::FsError closed = m_logFile.close();
    if (!error)
        error = closed;
    if (error) {
        reportFileError(tr("write the log file"), logFile, error.description);
        return;
    }
    m_savedLogFile = savedTo;
}

bool Form1::lockList(QLockFile& lock, const QString& lockFile) {
    const QString lockHost = lock.fileName();
    bool waiting = false;
    const auto endWait = [&] {
        if (waiting) {
            F2->hide();
            F1->show();
        }
    };
    for (;;) {
        // QLockFile takes over from a holder whose process is gone, but waits for ever on a
        // lock it cannot read.
        if (const platform::FsError error = platform::clearDeadLock(lockHost)) {
            endWait();
            reportFileError(tr("clear the lock"), lockFile, error.description);
            return false;
        }
        if (lock.tryLock(waiting ? kLockPollMs : 0))
            break;
        if (lock.error() != QLockFile::LockFailedError) {
            endWait();
            reportFileError(tr("make the lock"), lockFile,
                            platform::errorText(platform::ErrPathFileAccess));
            return false;
        }
        if (!waiting) {
            waiting = true;
            // The status panel holds the Abort button, the way out of the wait.
            F1->hide();
            F2->show();
            SetStatus(QStringLiteral("Waiting for another Velmarch run to read its list..."));
        }
        platform::DoEvents();
        if (m_closing)
            return false;
        if (AbortFlag) {
            // A request no extraction saw would stop the next run's first archive.
            XceedZip1.setAbort(false);
            endWait();
            const QString stopped =
                QStringLiteral("Stopped waiting for another Velmarch run: nothing was searched");
            SetStatus(stopped);
            List1->addItem(stopped);
            return false;
        }
    }
    if (waiting) {
        endWait();
        SetStatus(QStringLiteral("Grabing the Files.. Hold on a sec..."));
    }
    return true;
}

void Form1::reportFileError(const QString& what, const QString& path, const QString& reason) {
    MsgBox(tr("Velmarch could not %1 %2: %3").arg(what, path, reason),
           platform::vbOKOnly | platform::vbCritical);
}
