// The `talvo` program. Everything lives in talvo_app; this file only answers --version (before
// anything else is touched: no display, no sound server, no files), --self-check, --install,
// --uninstall and --restore-previous, and hands over.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <QCoreApplication>

#include "app/shell/process_entry.h"
#include "app/shell/qt_log_sink.h"
#include "app/shell/self_check.h"
#include "app/updates/install_tree.h"
#include "app/updates/self_install.h"
#include "core/program/native_product.h"

namespace {

// --install and --uninstall: no display needed, so a plain core application.
int selfInstall(int argc, char** argv, bool install) {
  QCoreApplication application(argc, argv);
  talvo::SelfInstall::Places places;
  try {
    places = talvo::SelfInstall::current();
  } catch (const std::exception& error) {
    std::cerr << "talvo: " << error.what() << "\n";
    return 1;
  }
  if (!install) return talvo::SelfInstall::uninstall(places, std::cout, std::cerr);
  // The tree this program runs from: <tree>/bin/talvo.
  char program[PATH_MAX];
  if (realpath("/proc/self/exe", program) == nullptr) {
    std::cerr << "talvo: cannot find the running program\n";
    return 1;
  }
  std::string tree = program;
  tree = tree.substr(0, tree.find_last_of('/'));
  tree = tree.substr(0, tree.find_last_of('/'));
  return talvo::SelfInstall::install(tree, TALVO_VERSION, places, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  // --verbose (the developer log for a bug report) goes with any of the others.
  const bool verbose = talvo::qt_log_sink::takeVerboseArgument(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", TALVO_VERSION);
    return 0;
  }
  // What a new tree must pass before it replaces the installed one (app/updates/install_tree.h).
  if (argc == 2 && std::strcmp(argv[1], "--self-check") == 0) return talvo::SelfCheck::run(argc, argv, TALVO_VERSION);
  if (verbose) talvo::qt_log_sink::enableVerbose();
  // The relaunch waiter runs the previous tree's program with this when the new version ended in
  // failure before it started once (app/updates/feed_updater.cpp).
  if (argc == 2 && std::strcmp(argv[1], "--restore-previous") == 0) {
    try {
      return talvo::InstallTree::restorePrevious(talvo::programDataDirectory() + "app") ? 0 : 1;
    } catch (const std::exception& error) {
      std::cerr << "talvo: " << error.what() << "\n";
      return 1;
    }
  }
  if (argc == 2 && (std::strcmp(argv[1], "--install") == 0 || std::strcmp(argv[1], "--uninstall") == 0))
    return selfInstall(argc, argv, std::strcmp(argv[1], "--install") == 0);
  return talvo::processEntry(argc, argv);
}
