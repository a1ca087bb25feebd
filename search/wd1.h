#pragma once

// wd1: the program's file-system service. One shared instance, created on first use and
// living until the program ends. It walks a directory tree and writes the matching files
// to a list file, answers existence, drive and attribute queries, creates directories
// after asking, and clears a directory of the files that match a pattern.

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class QWidget;

namespace platform {
class FolderWalk;
struct FolderState;
} // namespace platform

class Wd1 {
public:
    // A fresh component: no settings, not busy, no hooks. The program uses the shared one.
    Wd1() = default;
    static Wd1& instance();

    // ---- the public interface, in its order ----
    bool islisted(QWidget* f, QWidget* C, const QString& sitem);
    bool CheckFileAttrib(const QString& Fstr);
    bool IsCDRom(const QString& drive);
    bool IsNetDrv(const QString& drive);
    QString GetFilename(const QString& sfile);
    bool MakeDirs(const QString& tmpFile, QString& Textstr);
    void setWipedir(const QString& vNewValue);
    QString OpenDlg(QString& Title, double Flag1, double Flag2, double Flag3, qint16& Action);
    bool MakeDir(const QString& sfile, const QString& Textstr);
    bool Exists(const QString& sObj);
    void CheckAttrib(const QString& Fstr);
    void GetAll();
    bool isworking() const;
    QString sPath();
    void setSPath(const QString& vNewValue);
    QString OutFile() const;
    void setOutFile(const QString& vNewValue);
    QString pattern() const;
    void setPattern(const QString& vNewValue);
    bool recurse() const;
    // Only true (a bool true, or the number -1) turns recursion on; 1 does not.
    void setRecurse(const QVariant& vNewValue);
    void wipe();
    void Cancel();
    void Clr();
    double Diskspace(QString& DrivePath);

    // ---- state, in plain fields ----
    QString tpat;         // the pattern
    QString tpath;        // the start directory of the search
    QString tDump;        // the list file
    QString Dir2Kill;     // the directory being cleared
    int recurs = 0;       // 1: walk subdirectories
    int work = 0;         // 1: busy
    QStringList lstCache; // the walk's queue, then one directory's matches
    QStringList lstRtn;   // the directories the walk visited; MakeDirs' path levels

    // The name the last completed Exists lookup found; empty when it found nothing or failed.
    QString lastFound;

    // A folder the last search passed over: one it could not read, or one it did not enter
    // because it is more than a plain directory. Never written to the list file; the caller
    // tells the user, who would otherwise miss the archives in it without a word.
    struct PassedOver {
        enum Kind { Unreadable, NotEntered };
        Kind kind = Unreadable;
        QString folder; // as the walk holds it
        QString reason; // the error's text, or the folder's attributes ("read-only, link")
        bool operator==(const PassedOver&) const = default;
    };
    // Emptied when a search starts, not with the lists: the caller reads it afterwards.
    QList<PassedOver> passedOver;

    // Where the component's texts for the main window go: the status line (network-drive
    // access text) and the free-space display of Diskspace. Unset: nowhere.
    std::function<void(const QString&)> statusText;
    std::function<void(const QString&)> freeSpaceText;

    // Path parsing (private steps of the component, public here for their tests).
    bool FolderExists(const QString& path);
    static QString FixPath(const QString& path);
    QString GetVolume(const QString& path);
    static QString GetFolder(const QString& path);
    static QString GetFileTail(const QString& path);

private:
    class BusyScope;

    void SetBusy(bool flag);
    // Reads the walk's folder `id`, whose DOS path is `folder`: queues its plain
    // subdirectories and keeps its matching files.
    void ListSubDirs(const QString& folder, platform::FolderWalk& walk, qsizetype id);
    void passOver(const QString& folder, const platform::FolderState& state);
    void FindFiles(const QString& folder);
    void ClearDir(const QString& p);

    // The matching file names of each directory the walk has read, keyed by the
    // directory's text ending in "\": the search takes them from here instead of reading
    // every directory a second time. Emptied with the lists.
    QHash<QString, QStringList> walkMatches;
};

// The shared instance.
inline Wd1& wd1() {
    return Wd1::instance();
}
