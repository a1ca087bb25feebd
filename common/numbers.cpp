#include "common/numbers.h"

namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

} // namespace

double Val(const QString& text) {
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text) {
        if (!isBlank(c))
            compact.append(c);
    }

    QString number;
    qsizetype i = 0;
    const qsizetype n = compact.size();
    if (i < n && (compact.at(i) == u'+' || compact.at(i) == u'-'))
        number.append(compact.at(i++));
    bool digits = false;
    while (i < n && isDigit(compact.at(i))) {
        number.append(compact.at(i++));
        digits = true;
    }
    if (i < n && compact.at(i) == u'.') {
        number.append(compact.at(i++));
        while (i < n && isDigit(compact.at(i))) {
            number.append(compact.at(i++));
            digits = true;
        }
    }
    if (!digits)
        return 0;

    // An exponent counts only when at least one digit follows it: "2e" reads as 2.
    if (i < n && (compact.at(i) == u'e' || compact.at(i) == u'E' || compact.at(i) == u'd' ||
                  compact.at(i) == u'D')) {
        qsizetype j = i + 1;
        QString exponent = QStringLiteral("e");
        if (j < n && (compact.at(j) == u'+' || compact.at(j) == u'-'))
            exponent.append(compact.at(j++));
        if (j < n && isDigit(compact.at(j))) {
            while (j < n && isDigit(compact.at(j)))
                exponent.append(compact.at(j++));
            number.append(exponent);
        }
    }

    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok ? value : 0;
}

double MegabytesToBytes(const QString& text) {
    return Val(text) * 1000000.0;
}

QString Str(qint64 number) {
    const QString digits = QString::number(number);
    return number < 0 ? digits : QStringLiteral(" ") + digits;
}
