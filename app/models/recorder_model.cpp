#include "app/models/recorder_model.h"

#include <QDir>

#include "core/native_product.h"

namespace talvo {

QString RecorderModel::recordingDirectory(bool preview) {
  if (preview) return QDir::tempPath() + "/TALVO-UI-Preview/Recordings";
  return QString::fromStdString(recordingsDirectory());
}

RecorderModel::RecorderModel(Setup setup, bool preview, QObject* parent)
    : QObject(parent), setup_(std::move(setup)) {
  directory_ = setup_.directory.value_or(recordingDirectory(preview));
  cloud_ = new CloudModel(directory_, setup_.cloud, this);
  folder_ = new LocalRecordingFolder(directory_, setup_.folder, preview, this);
}

RecorderModel::RecorderModel(bool preview, QObject* parent) : RecorderModel(Setup{}, preview, parent) {}

RecorderModel::~RecorderModel() = default;

void RecorderModel::setPanelVisible(bool visible) { panelVisible_ = visible; }
void RecorderModel::start() {}
void RecorderModel::stop(const std::optional<QString>&, std::function<void()> completion) {
  if (completion) completion();
}
void RecorderModel::acceptProgress(double, float, float, const std::optional<std::string>&) {}

}  // namespace talvo
