// The `talvo` program. Everything lives in talvo_app; this file only answers --version (before
// anything else is touched: no display, no sound server, no files) and hands over.
#include <cstdio>
#include <cstring>

#include "app/shell/process_entry.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", TALVO_VERSION);
    return 0;
  }
  return talvo::processEntry(argc, argv);
}
