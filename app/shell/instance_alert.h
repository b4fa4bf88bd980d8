#pragma once
// The one message the program shows outside its panels: the recordings folder is locked by
// another instance or cannot be used. A blocking dark dialog in the panels' style with one
// button; the program quits after it.
#include <QDialog>

namespace talvo {

class InstanceAlert : public QDialog {
  Q_OBJECT

 public:
  static const QString messageText;
  static const QString informativeText;

  explicit InstanceAlert(QWidget* parent = nullptr);

  // Shows the alert and waits until it is dismissed.
  static void run();
};

}  // namespace talvo
