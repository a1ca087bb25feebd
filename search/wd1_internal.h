#pragma once

// Shared by the component's own sources only.

#include "search/wd1.h"

#include <QString>

namespace wd1detail {

// The title of the component's own message boxes.
inline const QString kComponentTitle = QStringLiteral("Qorva OCX 6.5");

// Appends "\" unless the text already ends in one.
QString withSeparator(const QString& dir);

} // namespace wd1detail

// Raises the busy flag for its lifetime and lowers it, emptying both lists, on every way
// out, so no failure can leave the component refusing work for the rest of the program.
class Wd1::BusyScope {
public:
    explicit BusyScope(Wd1& owner) : m_owner(owner) { m_owner.SetBusy(true); }
    ~BusyScope() { m_owner.SetBusy(false); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    Wd1& m_owner;
};
