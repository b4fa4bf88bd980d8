#include "app/models/cloud_model.h"

#include "cloud/desktop_cloud.h"
#include "cloud/queue_cloud.h"

namespace talvo {

CloudModel::CloudModel(QString, Setup setup, QObject* parent) : QObject(parent), setup_(std::move(setup)) {}
CloudModel::CloudModel(QString directory, QObject* parent) : CloudModel(std::move(directory), Setup{}, parent) {}
CloudModel::~CloudModel() = default;

std::optional<QString> CloudModel::queueLabel() const { return queueLabel(summary_); }
QString CloudModel::tariffLabel() const { return tariffLabel(info_); }
QString CloudModel::label(const std::optional<CloudAccount>&, const QString& owner) { return "Telegram · " + owner; }
std::optional<QString> CloudModel::queueLabel(const QueueSummary&) { return std::nullopt; }
QString CloudModel::tariffLabel(const std::optional<CloudInfo>&) { return "Тариф появится после подключения"; }

void CloudModel::connect() {}
void CloudModel::confirm() {}
void CloudModel::restartPair() {}
void CloudModel::disconnect() {}
void CloudModel::adoptUnlinked() {}
void CloudModel::openLibrary() {}
void CloudModel::openBot() {}
void CloudModel::openTariff() {}
void CloudModel::finish(const QString&, bool, std::function<void()> done) {
  if (done) done();
}
void CloudModel::synchronize() {}

}  // namespace talvo
