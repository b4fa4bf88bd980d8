#pragma once
// Marks the control that has the keyboard focus because the user moved it there with Tab, so
// the panels highlight where keyboard users are without making a control look hovered when a
// panel opens, after a mouse click, or when the focused control is disabled under the user. The mark is the dynamic
// property "keyboardFocus", which style sheets select as [keyboardFocus="true"].
#include <QObject>

class QWidget;

namespace talvo {

class KeyboardFocusMarker : public QObject {
  Q_OBJECT

 public:
  // Watches every button under `root` for as long as `root` lives.
  static void watch(QWidget* root);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  using QObject::QObject;

  bool tabbing_ = false;  // the last focus move came from Tab or Shift+Tab
};

}  // namespace talvo
