// talvo-install-archive ARCHIVE VERSION ROOT
//
// Installs the release archive ARCHIVE (TALVO-<version>-linux-<arch>.tar.gz) as the tree ROOT
// with the updater's own steps: unpack into a staging directory beside ROOT, check that
// bin/talvo answers --version with VERSION, exchange the two directories in one step, remove
// the previous tree. Used by scripts/install, so installing and updating are one code path.
#include <fcntl.h>

#include <QCoreApplication>

#include <iostream>

#include "app/updates/install_tree.h"
#include "core/unique_fd.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 4 || argv[3][0] != '/') {
    std::cerr << "usage: talvo-install-archive ARCHIVE VERSION ABSOLUTE-ROOT\n";
    return 2;
  }
  talvo::UniqueFd archive(open(argv[1], O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!archive) {
    std::cerr << "talvo-install-archive: cannot open " << argv[1] << "\n";
    return 1;
  }
  try {
    talvo::InstallTree(argv[3]).install(archive.get(), argv[2]);
  } catch (const std::exception& error) {
    std::cerr << "talvo-install-archive: " << error.what() << "\n";
    return 1;
  }
  std::cout << "installed " << argv[2] << " at " << argv[3] << "\n";
  return 0;
}
