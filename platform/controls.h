#pragma once

// The old drive list, directory list and file list controls as small Qt widgets.

#include "platform/dosfs.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QString>
#include <QStringList>

namespace platform {

// Drive list: one item per drive ("c: [/]"), on the current drive at creation.
class DriveListBox : public QComboBox {
    Q_OBJECT
public:
    explicit DriveListBox(QWidget* parent = nullptr);
    // The selected drive's text, "c: [/]".
    QString drive() const;
    // Selects a drive by a text starting with its letter ("d", "d:", "d: [/mnt]").
    void setDrive(const QString& text);
    // The selected drive's root, "c:\".
    QString driveRoot() const;
signals:
    // The selected drive changed (by the user or by setDrive).
    void Change();
};

// Directory list: the ancestors of Path above its subdirectories; a double click opens an
// entry. Path is a DOS path without trailing "\" (except a drive root, "c:\").
// Enter or Space on the highlighted entry opens it too.
class DirListBox : public QListWidget {
    Q_OBJECT
public:
    explicit DirListBox(QWidget* parent = nullptr);
    QString path() const { return m_path; }
    // Moves the list. A drive text ("d:" or "d: [/mnt]") moves to that drive's current
    // directory. On failure (68 drive not ready, 76 path not found) the list stays where
    // it was and the error is returned; Change is raised only when the path changed.
    FsError setPath(const QString& path);
signals:
    void Change();
    // A mouse button was pressed on the list, before the press changes anything.
    void MouseDown();

protected:
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void refill();
    void open(QListWidgetItem* item);
    QString m_path;
};

// File list: the file entries of Path that match Pattern; normal, read-only and archive
// files (not hidden or system ones).
class FileListBox : public QListWidget {
    Q_OBJECT
public:
    explicit FileListBox(QWidget* parent = nullptr);
    QString path() const { return m_path; }
    void setPath(const QString& path);
    QString pattern() const { return m_pattern; }
    void setPattern(const QString& pattern);
    int listCount() const { return count(); }

private:
    void refill();
    QString m_path;
    QString m_pattern = QStringLiteral("*.*");
};

// A one-line label whose text, when it does not fit, is shown elided in the middle; text()
// stays whole, and the tooltip shows it whole when it is elided.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text = QString(), QWidget* parent = nullptr);
    // The text as it is drawn at the label's current width and font.
    QString shownText() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Where the text goes: inside the frame, the margin and the indent.
    QRect textRoom() const;
};

// Makes Enter and Return press `button` while it has the focus, as Space does, in any
// window (Qt does so by itself only for the buttons of a dialog).
void pressOnEnter(QAbstractButton* button);

} // namespace platform
