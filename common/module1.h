#pragma once

// The shared helpers of the main window and the batch run: the CD-ROM test, the free-space
// query, the status line, the two path splitters, and the values every window shares.

#include <QString>
#include <QtGlobal>

#include <functional>

// The run-abort flag: 16-bit truth value, true is -1. The run clears it at its start; the
// main window's "Abort" and the chooser's "ABORT" raise it.
extern qint16 AbortFlag;
// The version title shown in the main window's title bar and the about window.
extern QString AppVersion;
// The directory last applied in the chooser, always ending in "\"; empty until then.
extern QString ChosenDir;

// True when the drive named by the first three characters of `path` is a CD-ROM drive.
bool IsCDRomDrive(const QString& path);

// Free bytes on the drive whose letter is the first non-blank character of `drive`;
// -1 when the drive cannot report them.
double DiskFreeBytes(const QString& drive);

// Free bytes of the file system that will hold `destination` (a DOS path, or one typed in
// host form): that of its nearest existing folder, whichever drive letter reaches it, so a
// small disk mounted below a drive counts with its own figure. -1 when it cannot be told
// (a blank text, an unknown or unready drive).
double destinationFreeBytes(const QString& destination);

// A folder path as a user typed it, in the form the program works with: host form
// ("/home/u/out", "~/out") becomes the DOS path that reaches it, anything else is kept.
// Empty when refused, with *refusal the message that says why.
QString typedFolderPath(const QString& typed, QString* refusal);

// Where SetStatus's text goes: the main window sets the status line's hook at creation.
// Unset: nowhere.
void setStatusLine(std::function<void(const QString&)> show);
// Shows `text` in the status line framed as "..::" text "::..".
void SetStatus(const QString& text);

// The part of `path` after its last "\"; the final character is never taken as the
// separator, so "c:\zips\" gives "zips\".
QString FilePart(const QString& path);
// The part of `path` up to and including its last "\" (final character not examined).
QString PathPart(const QString& path);
