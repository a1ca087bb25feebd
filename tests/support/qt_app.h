#pragma once

class QApplication;

namespace testsupport {

// The one QApplication of a test process, created on first call. Without a
// QT_QPA_PLATFORM in the environment it runs on the offscreen platform, so widget tests
// need no display.
QApplication* ensureApplication();

} // namespace testsupport
