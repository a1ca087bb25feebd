#include "app/form1.h"
#include "windows/program_icon.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    identifyProgram();

    Form1 form;
    form.Form_Load();
    form.show();
    return app.exec();
}
