#include "cloud/transport_error.h"

namespace talvo {
namespace {

const char* describe(TransportError::Kind kind) {
  switch (kind) {
    case TransportError::Kind::timedOut:
      return "Сервис не ответил вовремя. Файлы остаются на компьютере.";
    case TransportError::Kind::cancelled:
      return "Запрос к сервису отменён.";
    case TransportError::Kind::network:
      break;
  }
  return "Нет связи с сервисом. Файлы остаются на компьютере.";
}

}  // namespace

TransportError::TransportError(Kind kind, int curlCode)
    : std::runtime_error(describe(kind)), kind_(kind), curlCode_(curlCode) {}

}  // namespace talvo
