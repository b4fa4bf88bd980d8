#include "app/ui/meeting_reminder_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/panel_style.h"
#include "app/ui/primary_recording_button.h"
#include "app/ui/vector_icon.h"

namespace talvo {

QString MeetingReminderView::detailText(MeetingApplication application) {
  const QString name = QString::fromUtf8(displayName(application).data(), qsizetype(displayName(application).size()));
  switch (application) {
    case MeetingApplication::zoom:
    case MeetingApplication::telemost:
      return QStringLiteral("Похоже, начался созвон в %1.").arg(name);
    case MeetingApplication::yandex:
      // The browser's name declines in Russian, so its text is written out whole.
      return QStringLiteral("В Яндекс Браузере используется микрофон.");
    default:  // the browsers: Chrome, Safari, Edge, Chromium, Firefox
      return QStringLiteral("В %1 используется микрофон.").arg(name);
  }
}

MeetingReminderView::MeetingReminderView(MeetingApplication application, std::function<void()> later,
                                         std::function<void()> record, QWidget* parent)
    : QWidget(parent) {
  setObjectName(QStringLiteral("meetingReminderView"));
  setFixedWidth(360);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(20, 20, 20, 20);
  column->setSpacing(16);

  auto* header = new QHBoxLayout;
  header->setSpacing(8);
  auto* logo = new QLabel;
  logo->setPixmap(QPixmap::fromImage(VectorIcon::image(QStringLiteral("talvo"), 24, PanelStyle::accent, 2.0)));
  logo->setFixedSize(24, 24);
  logo->setAccessibleName(QStringLiteral("TALVO"));
  auto* brand = new QLabel(QStringLiteral("TALVO"));
  brand->setFont(PanelStyle::font(14, QFont::DemiBold));
  brand->setStyleSheet(QStringLiteral("color:%1").arg(PanelStyle::css(PanelStyle::text)));
  header->addWidget(logo);
  header->addWidget(brand);
  header->addStretch();
  column->addLayout(header);

  auto* texts = new QVBoxLayout;
  texts->setSpacing(8);
  auto* title = new QLabel(QStringLiteral("Не забудьте начать запись"));
  title->setFont(PanelStyle::font(18, QFont::DemiBold));
  title->setStyleSheet(QStringLiteral("color:%1").arg(PanelStyle::css(PanelStyle::text)));
  auto* detail = new QLabel(detailText(application));
  detail->setObjectName(QStringLiteral("detail"));
  detail->setFont(PanelStyle::font(13));
  detail->setWordWrap(true);
  detail->setStyleSheet(QStringLiteral("color:%1").arg(PanelStyle::css(PanelStyle::muted)));
  texts->addWidget(title);
  texts->addWidget(detail);
  column->addLayout(texts);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  auto* laterButton = new QPushButton(QStringLiteral("Позже"));
  laterButton->setFont(PanelStyle::font(13, QFont::Medium));
  laterButton->setFixedSize(82, 50);
  laterButton->setFlat(true);
  laterButton->setCursor(Qt::PointingHandCursor);
  laterButton->setStyleSheet(QStringLiteral("QPushButton{color:%1;background:transparent;border:none}"
                                            "QPushButton:focus{border:1px solid %2;border-radius:10px}")
                                 .arg(PanelStyle::css(PanelStyle::text), PanelStyle::css(PanelStyle::muted)));
  auto* recordButton = new PrimaryRecordingButton(QStringLiteral("Начать запись"));
  buttons->addWidget(laterButton);
  buttons->addWidget(recordButton, 1);
  column->addLayout(buttons);

  connect(laterButton, &QPushButton::clicked, this, [later] {
    if (later) later();
  });
  connect(recordButton, &QPushButton::clicked, this, [record] {
    if (record) record();
  });
}

}  // namespace talvo
