#include "app/models/model_worker.h"

namespace talvo {

QThreadPool* modelWorkers() {
  static QThreadPool* pool = [] {
    auto* workers = new QThreadPool;
    workers->setMaxThreadCount(8);
    return workers;
  }();
  return pool;
}

}  // namespace talvo
