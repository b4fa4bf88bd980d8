// The yardstick for the program's start and idle cost: the least a Qt program with a tray icon
// and a window does (bench/tray_minimal_compare.py runs both side by side).
#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QPixmap picture(22, 22);
  picture.fill(Qt::transparent);
  {
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::white);
    painter.drawEllipse(picture.rect().adjusted(2, 2, -2, -2));
  }
  QSystemTrayIcon icon{QIcon(picture)};
  icon.show();
  QLabel window(QStringLiteral("панель"));
  window.setFixedSize(360, 220);
  window.show();
  return QApplication::exec();
}
