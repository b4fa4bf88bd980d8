#pragma once
// Lets the user pick one directory (modal). Production: the desktop's directory dialog, whose
// accept button reads `prompt`.
#include <optional>

#include <QString>

namespace talvo {

class FolderChooser {
 public:
  virtual ~FolderChooser() = default;
  // The chosen directory's path, or none when the user cancelled.
  virtual std::optional<QString> choose(const QString& prompt, const QString& message, const QString& start) = 0;
};

class DialogFolderChooser : public FolderChooser {
 public:
  std::optional<QString> choose(const QString& prompt, const QString& message, const QString& start) override;
};

}  // namespace talvo
