#include "app/models/folder_chooser.h"

#include <QFileDialog>

namespace talvo {

std::optional<QString> DialogFolderChooser::choose(const QString&, const QString& message, const QString& start) {
  // The desktop's own directory dialog; its accept button keeps the platform's wording.
  const QString chosen = QFileDialog::getExistingDirectory(nullptr, message, start, QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return std::nullopt;
  return chosen;
}

}  // namespace talvo
