#include "app/models/login_startup.h"

namespace talvo {

LoginStartup::Setup LoginStartup::productionSetup() { return {}; }

LoginStartup::LoginStartup(Setup setup, bool preview, QObject* parent)
    : QObject(parent), preview_(preview), setup_(std::move(setup)) {}

LoginStartup::LoginStartup(bool preview, QObject* parent) : LoginStartup(productionSetup(), preview, parent) {}

void LoginStartup::refresh() {}
void LoginStartup::setEnabled(bool) {}
void LoginStartup::openSettings() {}
LoginStartupStatus LoginStartup::status() const { return LoginStartupStatus::notFound; }

}  // namespace talvo
