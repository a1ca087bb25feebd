#pragma once

// Entry names as stored in an archive, turned into something safe to create below the
// destination: decoding (UTF-8 or CP437), splitting, and the refusals that keep every
// write inside the destination.

#include <QByteArrayView>
#include <QString>
#include <QStringList>

namespace archive_engine {

// CP437, the code page of names that do not carry the UTF-8 flag.
QString decodeCp437(QByteArrayView raw);
// A name without the UTF-8 flag or a Unicode path field: many writers store UTF-8 without
// saying so, and bytes that are strictly valid UTF-8 with a non-ASCII sequence in them are
// almost never meant as CP437 (box-drawing and accented letters in that pattern), so
// those are read as UTF-8; anything else as CP437. Decided per name.
QString decodeUnflaggedName(QByteArrayView raw);

struct EntryPath {
    bool safe = false;
    bool isDirectory = false; // the name ends with a separator
    QStringList components;   // never empty when safe, except for a bare "./" entry
};

// Splits an entry name on "/" and "\" and refuses what could land outside the
// destination: absolute and UNC names, drive letters, ".." components, control characters.
EntryPath sanitizeEntryName(const QString& name);

// The name's last non-empty part between separators, as stored (even in a name that
// sanitizeEntryName refuses): what FilesToProcess is matched against.
QString lastComponent(const QString& name);

// "name.ext" -> "name (n).ext"; "README" -> "README (n)"; ".profile" -> ".profile (n)".
QString numberedName(const QString& name, int number);

} // namespace archive_engine
