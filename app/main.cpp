#include "app/form1.h"
#include "windows/program_icon.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmarch"));
    // Ties the windows to the installed launcher entry, so the desktop shows its icon
    // and name for them.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.Velmarch"));
    QApplication::setWindowIcon(programIcon());

    Form1 form;
    form.Form_Load();
    form.show();
    return app.exec();
}
