#include "qt_app.h"

#include <QApplication>

namespace testsupport {

QApplication* ensureApplication() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance()))
        return existing;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // QApplication keeps references to argc and argv for its whole life.
    static int argc = 1;
    static char name[] = "velmarch-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* application = new QApplication(argc, argv);
    return application;
}

} // namespace testsupport
