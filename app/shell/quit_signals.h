#pragma once
// SIGTERM, SIGINT and SIGHUP turned into a Qt signal on the main thread, so they go through the same
// quit decision as "Выйти" instead of killing a recording half-written. The handler only writes
// to a pipe; everything else happens in the event loop.
#include <QObject>

class QSocketNotifier;

namespace talvo {

class QuitSignals : public QObject {
  Q_OBJECT

 public:
  // Installs the handlers for the life of the object (one object per process).
  explicit QuitSignals(QObject* parent = nullptr);
  ~QuitSignals() override;

 signals:
  void received(int signalNumber);

 private:
  void drain();

  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace talvo
