#include "app/ui/keyboard_focus_marker.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QFocusEvent>
#include <QStyle>
#include <QWidget>

namespace talvo {
namespace {

void mark(QWidget* widget, bool on) {
  if (widget->property("keyboardFocus").toBool() == on) return;
  widget->setProperty("keyboardFocus", on);
  // Style sheets read dynamic properties when a widget is polished.
  widget->style()->unpolish(widget);
  widget->style()->polish(widget);
  widget->update();
}

}  // namespace

void KeyboardFocusMarker::watch(QWidget* root) {
  // One filter on the application hears Tab wherever the focus is, and every button under
  // `root`, including those made later.
  QCoreApplication::instance()->installEventFilter(new KeyboardFocusMarker(root));
}

bool KeyboardFocusMarker::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab) tabbing_ = true;
    return false;
  }
  auto* widget = qobject_cast<QAbstractButton*>(watched);
  if (!widget || !static_cast<QWidget*>(parent())->isAncestorOf(widget)) return false;
  switch (event->type()) {
    case QEvent::FocusIn: {
      // Qt also gives Tab as the reason when the focused control is disabled and focus moves
      // on by itself: only a real Tab counts.
      const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
      mark(widget, tabbing_ && (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason));
      tabbing_ = false;
      break;
    }
    case QEvent::FocusOut:
    case QEvent::MouseButtonPress:
      mark(widget, false);
      break;
    default:
      break;
  }
  return false;
}

}  // namespace talvo
