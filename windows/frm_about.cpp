#include "windows/frm_about.h"

#include "windows/program_icon.h"
#include "windows/twips_layout.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>

namespace {

// The client area the layout was drawn for, in twips.
constexpr QSize kDesignSize(6120, 3330);

const QColor kPurple(64, 0, 64);
const QColor kYellow(255, 255, 0);
const QColor kWhite(255, 255, 255);
const QColor kGrey(128, 128, 128);

void colour(QWidget* widget, const QColor& text) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, kPurple);
    palette.setColor(QPalette::WindowText, text);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QLabel* label(QWidget* parent, const QString& text, const QColor& colour_, QRect twips) {
    auto* result = new QLabel(text, parent);
    result->setTextFormat(Qt::PlainText);
    colour(result, colour_);
    layout::place(result, twips);
    return result;
}

struct Credit {
    const char* caption;
    const char* value;
    bool underlined;
};

// One line each: a short caption at the column's left, its value beside it.
const Credit kCredits[] = {
    {"By:", "The Velmarch developers", false},
    {"Mail:", "velmarch@example.org", false},
    {"Web:", "velmarch.example.org", true},
    {"Art:", "Logo drawn for Velmarch", false},
};

} // namespace

FrmAbout::FrmAbout(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Velmarch"));
    setWindowIcon(programIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    colour(this, kWhite);
    resize(layout::pixels(this, QRect(QPoint(), kDesignSize)).size());

    Frame = new QGroupBox(QStringLiteral("About Velmarch"), this);
    colour(Frame, kYellow);
    layout::place(Frame, 60, 60, 6015, 3255);

    Image1 = new QLabel(Frame);
    colour(Image1, kWhite);
    layout::place(Image1, 120, 240, 2880, 2700);

    int top = 240;
    for (const Credit& credit : kCredits) {
        creditCaptions.append(
            label(Frame, QString::fromUtf8(credit.caption), kWhite, QRect(3120, top, 480, 210)));
        QLabel* value =
            label(Frame, QString::fromUtf8(credit.value), kYellow, QRect(3600, top, 2295, 210));
        if (credit.underlined) {
            QFont font = value->font();
            font.setUnderline(true);
            value->setFont(font);
        }
        creditValues.append(value);
        top += 380;
    }

    OK = new QPushButton(QStringLiteral("&OK"), Frame);
    QPalette buttonPalette = OK->palette();
    buttonPalette.setColor(QPalette::Button, kGrey);
    buttonPalette.setColor(QPalette::ButtonText, Qt::black);
    OK->setPalette(buttonPalette);
    QFont buttonFont(QStringLiteral("MS Serif"));
    buttonFont.setStyleHint(QFont::Serif);
    buttonFont.setPointSizeF(8.25);
    buttonFont.setBold(true);
    OK->setFont(buttonFont);
    OK->setDefault(true);
    layout::place(OK, 3180, 2640, 2715, 285);
    connect(OK, &QPushButton::clicked, this, &FrmAbout::OK_Click);

    Label11 = label(Frame, QStringLiteral("Unzip it all, keep what matters."), kWhite,
                    QRect(3180, 2940, 2715, 255));
    Label11->setAlignment(Qt::AlignCenter);
    Label1 = label(Frame, QStringLiteral("Version:"), kWhite, QRect(240, 3000, 615, 255));
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    TxtVersion = label(Frame, QStringLiteral("0"), kYellow, QRect(960, 3000, 990, 195));

    for (QWidget* child : Frame->findChildren<QWidget*>()) {
        if (child != OK)
            child->setFocusPolicy(Qt::NoFocus);
    }
    OK->setFocus();
}

void FrmAbout::OK_Click() {
    close();
}

void FrmAbout::showEvent(QShowEvent* event) {
    // The version is set after construction; every caption must fit its box as shown.
    QList<layout::Caption> captions{{Frame}, {OK}};
    for (QLabel* caption : Frame->findChildren<QLabel*>())
        if (caption != Image1)
            captions.append({caption});
    layout::scaleToFont(this, kDesignSize, captions);
    resize(layout::pixels(this, QRect(QPoint(), kDesignSize)).size());
    Image1->setPixmap(programLogo(Image1->size(), devicePixelRatioF()));
    QDialog::showEvent(event);
}
