#include "cloud/cloud_failure.h"

namespace talvo {

CloudFailure::CloudFailure(std::string code, int status, Origin origin)
    : code_(std::move(code)), status_(status), origin_(origin), description_(messageFor(code_)) {}

std::string CloudFailure::messageFor(const std::string& code) {
  if (code == "DESKTOP_DISABLED") return "Подключение компьютеров пока недоступно. Запись сохранена локально.";
  if (code == "AUTH_REQUIRED" || code == "DEVICE_REVOKED")
    return "Подключите прежний Telegram-аккаунт для отправки записей.";
  if (code == "PAIRING_CONFIRMATION_PENDING")
    return "Подтверждение уже отправлено. Повторите его для проверки ответа перед сменой аккаунта.";
  if (code == "PAIRING_EXPIRED") return "Запрос истёк. Начните подключение заново.";
  if (code == "OWNER_MISMATCH") return "Эта запись принадлежит другому аккаунту.";
  if (code == "FILE_CHANGED") return "Файл изменился. Он сохранён на компьютере; автоматическая обработка остановлена.";
  if (code == "CREDENTIAL_STORAGE") return "Не удалось сохранить ключ устройства в связке ключей.";
  return "Не удалось завершить операцию (" + code + "). Файлы остаются на компьютере.";
}

bool CloudFailure::isServiceCode(const std::string& code) noexcept {
  if (code.empty() || code.size() > 64) return false;
  for (char c : code) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

}  // namespace talvo
