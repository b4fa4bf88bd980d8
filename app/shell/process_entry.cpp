#include "app/shell/process_entry.h"

#include <QApplication>

namespace talvo {

int processEntry(int argc, char** argv) {
  QApplication application(argc, argv);
  return 0;
}

}  // namespace talvo
