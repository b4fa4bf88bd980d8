#pragma once
// A confirmation dialog drawn inside the panel over its content, so the panel keeps focus and
// does not close while the user decides: a title, a message, the action and "Отмена".
#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;

namespace talvo {

class ConfirmationOverlay : public QWidget {
  Q_OBJECT
 public:
  explicit ConfirmationOverlay(QWidget* parent);
  void present(const QString& title, const QString& message, const QString& action, std::function<void()> onAction);
  void dismiss();

 protected:
  void paintEvent(QPaintEvent*) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* title_;
  QLabel* message_;
  QPushButton* action_;
  QPushButton* cancel_;
  std::function<void()> onAction_;
  QString fitted(const QString& text) const;
};

}  // namespace talvo
