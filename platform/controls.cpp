#include "platform/controls.h"

#include "platform/volumes.h"

#include <QFile>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>

#include <sys/stat.h>

namespace platform {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kDepthRole = Qt::UserRole + 1;

bool isDriveLetter(QChar c) {
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

// "d", "d:" or "d: [/mnt]": a drive text rather than a path.
bool isDriveText(const QString& text) {
    if (text.isEmpty() || !isDriveLetter(text.at(0)))
        return false;
    if (text.size() == 1)
        return true;
    return text.at(1) == QLatin1Char(':') && (text.size() == 2 || text.at(2) == QLatin1Char(' '));
}

QString joinDos(const QString& dir, const QString& name) {
    return dir.endsWith(QLatin1Char('\\')) ? dir + name : dir + QLatin1Char('\\') + name;
}

// Indents each entry by its depth in the tree, so ancestors read as a path from the root,
// by three quarters of an icon a level, so the steps grow with the icons. Frames the entry
// that has the keyboard focus in the colour of its text: the style's own focus frame is
// drawn in the colour of the selection, which the entry with the focus always has here.
class DepthDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (!(option.state & QStyle::State_HasFocus))
            return;
        QStyleOptionViewItem entry = option;
        initStyleOption(&entry, index);
        painter->save();
        painter->setPen(entry.palette.color(
            (entry.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text));
        painter->setBrush(Qt::NoBrush);
        // A pixel inside the entry, so that the selection's colour shows around it.
        painter->drawRect(entry.rect.adjusted(1, 1, -2, -2));
        painter->restore();
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->rect.adjust(index.data(kDepthRole).toInt() * option->decorationSize.width() * 3 / 4,
                            0, 0, 0);
    }
};

bool isEnter(const QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    return modifiers == Qt::NoModifier &&
           (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter);
}

class EnterPresses : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || !isEnter(static_cast<QKeyEvent*>(event)))
            return false;
        auto* button = static_cast<QAbstractButton*>(watched);
        if (button->isEnabled())
            button->click();
        return true;
    }
};

} // namespace

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent) {
    addItems(driveTexts());
    const QString current = currentDrive();
    for (int i = 0; i < count(); ++i)
        if (itemText(i).startsWith(current, Qt::CaseInsensitive))
            setCurrentIndex(i);
    connect(this, &QComboBox::currentIndexChanged, this, [this] { emit Change(); });
}

QString DriveListBox::drive() const {
    return currentText();
}

void DriveListBox::setDrive(const QString& text) {
    if (text.isEmpty())
        return;
    const QString prefix = text.at(0).toLower() + QStringLiteral(":");
    for (int i = 0; i < count(); ++i)
        if (itemText(i).startsWith(prefix, Qt::CaseInsensitive)) {
            setCurrentIndex(i);
            return;
        }
}

QString DriveListBox::driveRoot() const {
    const QString text = currentText();
    return text.size() < 2 ? QString() : text.left(2) + QLatin1Char('\\');
}

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new DepthDelegate(this));
    setPath(currentDirectory());
    connect(this, &QListWidget::itemDoubleClicked, this, &DirListBox::open);
}

void DirListBox::open(QListWidgetItem* item) {
    if (item)
        setPath(item->data(kPathRole).toString());
}

FsError DirListBox::setPath(const QString& path) {
    const QString wanted = isDriveText(path) ? currentDirectoryOf(path.at(0)) : path;
    const Resolved resolved = resolve(wanted);
    if (resolved.error)
        return FsError::of(resolved.error);
    struct stat st {};
    const QByteArray host = QFile::encodeName(resolved.hostPath);
    if (::stat(host.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return FsError::of(ErrPathNotFound);
    // The host's own spelling, so that "C:\ZIPS" and "c:\zips" are one path.
    const QString normalised = toDosPath(resolved.hostPath);
    if (normalised.isEmpty())
        return FsError::of(ErrPathNotFound);
    const bool changed = normalised != m_path;
    m_path = normalised;
    refill();
    if (changed)
        emit Change();
    return FsError::none();
}

void DirListBox::changeEvent(QEvent* event) {
    QListWidget::changeEvent(event);
    // Folder icons as tall as a line of text, where the text is taller than the style's
    // small icons.
    if (event->type() == QEvent::FontChange) {
        const int side = std::max(style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this),
                                  fontMetrics().height());
        setIconSize(QSize(side, side));
    }
}

void DirListBox::mousePressEvent(QMouseEvent* event) {
    emit MouseDown();
    QListWidget::mousePressEvent(event);
}

void DirListBox::keyPressEvent(QKeyEvent* event) {
    if (isEnter(event) || (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier)) {
        open(currentItem());
        return;
    }
    QListWidget::keyPressEvent(event);
}

void DirListBox::refill() {
    clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);

    // The ancestors from the root down to the path itself.
    const QString root = m_path.left(3);
    QString walked = root;
    int depth = 0;
    auto addEntry = [this](const QString& text, const QString& path, int depth, const QIcon& icon) {
        auto* item = new QListWidgetItem(icon, text, this);
        item->setData(kPathRole, path);
        item->setData(kDepthRole, depth);
        return item;
    };
    QListWidgetItem* current = addEntry(root, root, depth, openIcon);
    const QStringList parts = m_path.mid(3).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        walked = joinDos(walked, part);
        current = addEntry(part, walked, ++depth, openIcon);
    }

    for (DirListing listing(joinDos(m_path, QStringLiteral("*")), AttrDirectory); !listing.atEnd();
         listing.next()) {
        const QString name = listing.name();
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const QString child = joinDos(m_path, name);
        if (getAttributes(child) & AttrDirectory)
            addEntry(name, child, depth + 1, closedIcon);
    }
    setCurrentItem(current);
}

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {}

void FileListBox::setPath(const QString& path) {
    m_path = path;
    refill();
}

void FileListBox::setPattern(const QString& pattern) {
    m_pattern = pattern.isEmpty() ? QStringLiteral("*.*") : pattern;
    refill();
}

void FileListBox::refill() {
    clear();
    if (m_path.isEmpty())
        return;
    // Several patterns may be given, separated by ';' ("*.zip;*.txt").
    const QStringList patterns = m_pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (DirListing listing(joinDos(m_path, QStringLiteral("*")), AttrNormal); !listing.atEnd();
         listing.next()) {
        const QString name = listing.name();
        for (const QString& pattern : patterns)
            if (matchesPattern(name, pattern.trimmed())) {
                addItem(name);
                break;
            }
    }
}

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
}

QRect ElidedLabel::textRoom() const {
    QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    // QLabel's own rule: a framed label without an indent of its own is indented by half
    // an "x" on the side it is aligned to.
    const int indentation =
        indent() >= 0 ? indent()
                      : (frameWidth() > 0 ? fontMetrics().horizontalAdvance(u'x') / 2 : 0);
    const Qt::Alignment side = QStyle::visualAlignment(layoutDirection(), alignment());
    if (side & Qt::AlignLeft)
        room.setLeft(room.left() + indentation);
    else if (side & Qt::AlignRight)
        room.setRight(room.right() - indentation);
    return room;
}

QString ElidedLabel::shownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, std::max(0, textRoom().width()));
}

bool ElidedLabel::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const QString shown = shownText();
        if (shown != text()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
            return true;
        }
    }
    return QLabel::event(event);
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, textRoom(),
                          int(QStyle::visualAlignment(layoutDirection(), alignment())), palette(),
                          isEnabled(), shownText(), foregroundRole());
}

void pressOnEnter(QAbstractButton* button) {
    button->installEventFilter(new EnterPresses(button));
}

} // namespace platform
