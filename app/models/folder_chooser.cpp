#include "app/models/folder_chooser.h"

#include <QFileDialog>

namespace talvo {

std::optional<QString> DialogFolderChooser::choose(const QString& prompt, const QString& message,
                                                   const QString& start) {
  // The desktop's own directory dialog, with our wording on its accept button.
  QFileDialog dialog(nullptr, message, start);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setLabelText(QFileDialog::Accept, prompt);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const QString chosen = dialog.selectedFiles().constFirst();
  if (chosen.isEmpty()) return std::nullopt;
  return chosen;
}

}  // namespace talvo
