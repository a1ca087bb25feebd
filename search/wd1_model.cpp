// The component's settings, its busy flag and its list utilities.

#include "search/wd1_internal.h"

#include "platform/dialogs.h"
#include "platform/dosfs.h"

#include <QComboBox>
#include <QListWidget>
#include <QPointer>

namespace wd1detail {

QString withSeparator(const QString& dir) {
    return dir.endsWith(QLatin1Char('\\')) ? dir : dir + QLatin1Char('\\');
}

} // namespace wd1detail

Wd1& Wd1::instance() {
    static Wd1 shared;
    return shared;
}

void Wd1::SetBusy(bool flag) {
    if (flag) {
        work = 1;
        return;
    }
    work = 0;
    Clr();
}

void Wd1::Clr() {
    lstRtn.clear();
    lstCache.clear();
    walkMatches.clear();
}

void Wd1::Cancel() {
    SetBusy(false);
}

void Wd1::wipe() {
    if (work == 1)
        return;
    SetBusy(true);
    SetBusy(false);
}

bool Wd1::isworking() const {
    return work == 1;
}

QString Wd1::sPath() {
    if (FolderExists(tpath))
        return tpath;
    return FixPath(platform::programDirectory());
}

void Wd1::setSPath(const QString& vNewValue) {
    if (FolderExists(vNewValue))
        tpath = vNewValue;
}

QString Wd1::OutFile() const {
    if (tDump.size() > 2)
        return tDump;
    // A program directory that is a drive root already ends in "\".
    return wd1detail::withSeparator(platform::programDirectory()) + QStringLiteral("outfile.lst");
}

void Wd1::setOutFile(const QString& vNewValue) {
    if (vNewValue.size() <= 2)
        return;
    // A name with wildcards can never be written; Exists would match other files with it.
    if (vNewValue.contains(QLatin1Char('*')) || vNewValue.contains(QLatin1Char('?')))
        return;
    if (Exists(vNewValue)) {
        // The old list must not survive into the next search, so an existing file is
        // emptied now; one that cannot be written is refused.
        platform::TextWriter writer;
        if (writer.open(vNewValue))
            return;
        writer.close();
    }
    tDump = vNewValue;
}

QString Wd1::pattern() const {
    return tpat;
}

void Wd1::setPattern(const QString& vNewValue) {
    tpat = vNewValue;
}

bool Wd1::recurse() const {
    return recurs == 1;
}

void Wd1::setRecurse(const QVariant& vNewValue) {
    bool on = false;
    if (vNewValue.typeId() == QMetaType::Bool) {
        on = vNewValue.toBool();
    } else {
        bool ok = false;
        const double number = vNewValue.toDouble(&ok);
        on = ok && number == -1.0;
    }
    recurs = on ? 1 : 0;
}

bool Wd1::islisted(QWidget* /*f*/, QWidget* C, const QString& sitem) {
    auto* list = qobject_cast<QListWidget*>(C);
    auto* combo = qobject_cast<QComboBox*>(C);
    if (!list && !combo) {
        platform::MsgBox(QStringLiteral("Invalid Control Type :("), platform::vbOKOnly);
        return false;
    }
    const QString wanted = sitem.toUpper();
    // Window events run between items; the control may be changed or destroyed meanwhile.
    const QPointer<QWidget> control(C);
    const int n = list ? list->count() : combo->count();
    for (int i = 0; i < n; ++i) {
        if (!control)
            return false;
        QString item;
        if (list) {
            if (i >= list->count())
                return false;
            item = list->item(i)->text();
        } else {
            if (i >= combo->count())
                return false;
            item = combo->itemText(i);
        }
        if (item.toUpper() == wanted)
            return true;
        platform::DoEvents();
    }
    return false;
}
