#include "app/shell/instance_alert.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/panel_style.h"

namespace talvo {

const QString InstanceAlert::messageText = QStringLiteral("TALVO уже работает или папка записей недоступна.");
const QString InstanceAlert::informativeText =
    QStringLiteral("Используйте значок работающей программы возле часов. Второй экземпляр не будет менять её записи.");

InstanceAlert::InstanceAlert(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("TALVO"));
  setModal(true);
  setFixedWidth(380);
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, PanelStyle::surface);
  palette.setColor(QPalette::WindowText, PanelStyle::text);
  setPalette(palette);

  auto* message = new QLabel(messageText, this);
  message->setFont(PanelStyle::font(16, QFont::DemiBold));
  message->setWordWrap(true);
  auto* detail = new QLabel(informativeText, this);
  detail->setFont(PanelStyle::font(13));
  detail->setWordWrap(true);
  detail->setStyleSheet(QStringLiteral("color: %1;").arg(PanelStyle::css(PanelStyle::muted)));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setAccessibleName(QStringLiteral("OK"));
  ok->setDefault(true);
  ok->setFont(PanelStyle::font(14, QFont::DemiBold));
  ok->setMinimumSize(96, 36);
  ok->setStyleSheet(QStringLiteral("QPushButton { color: %1; background: %2; border: none; border-radius: 10px; }"
                                   "QPushButton:pressed { background: %3; }")
                        .arg(PanelStyle::css(PanelStyle::canvas), PanelStyle::css(PanelStyle::accent),
                             PanelStyle::css(PanelStyle::accent, 0.78)));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 20);
  layout->setSpacing(12);
  layout->addWidget(message);
  layout->addWidget(detail);
  layout->addSpacing(4);
  layout->addLayout(buttons);
}

void InstanceAlert::run() {
  InstanceAlert alert;
  alert.exec();
}

}  // namespace talvo
