#include "app/models/local_recording_folder.h"

namespace talvo {

LocalRecordingFolder::LocalRecordingFolder(QString original, Setup setup, bool, QObject* parent)
    : QObject(parent), directory_(original), original_(std::move(original)), setup_(std::move(setup)) {}

LocalRecordingFolder::LocalRecordingFolder(QString original, bool preview, QObject* parent)
    : LocalRecordingFolder(std::move(original), Setup{}, preview, parent) {}

void LocalRecordingFolder::choose() {}
void LocalRecordingFolder::open() {}
void LocalRecordingFolder::publish(const QString& file, const QString&,
                                   std::function<void(const std::optional<QString>&)> done) {
  done(file);
}
void LocalRecordingFolder::setFailure(const std::optional<QString>& value) { failure_ = value; }

}  // namespace talvo
