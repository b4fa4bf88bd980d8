#pragma once
// Widgets tests share one QApplication on the test display, and save screenshots of what they
// show into <build>/screenshots/ for a reviewer to look at.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <cstdlib>
#include <functional>

namespace talvo::ui_test {

inline QApplication& app() {
  static int argc = 1;
  static char name[] = "talvo-ui-tests";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* instance = [] {
    auto* a = new QApplication(argc, argv);
    a->setQuitOnLastWindowClosed(false);
    return a;
  }();
  return *instance;
}

// Runs the event loop until `done` holds or `ms` pass.
inline bool waitUntil(const std::function<bool()>& done, int ms = 3000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

inline void settle(int ms = 100) {
  waitUntil([] { return false; }, ms);
}

inline QString screenshotDir() {
  const QString dir = QStringLiteral(TALVO_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  return dir;
}

// The widget as drawn, at 2× so text can be read.
inline void saveScreenshot(QWidget* widget, const QString& name) {
  QPixmap shot(widget->size() * 2);
  shot.setDevicePixelRatio(2);
  shot.fill(Qt::transparent);
  widget->render(&shot, QPoint(), QRegion(), QWidget::DrawChildren | QWidget::DrawWindowBackground);
  shot.save(screenshotDir() + QStringLiteral("/") + name + QStringLiteral(".png"));
}

}  // namespace talvo::ui_test
