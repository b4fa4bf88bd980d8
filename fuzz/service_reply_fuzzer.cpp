// Every reply decoder of the service, fed the way the client feeds it: the first byte picks
// the request, the rest is the 2xx body. A body is decoded or refused with RESPONSE_INVALID and
// the reply's status; nothing else may come out of a decoder.
#include <nlohmann/json.hpp>

#include "cloud/cloud_failure.h"
#include "cloud/cloud_replies.h"
#include "cloud/desktop_cloud.h"
#include "cloud/queue_cloud.h"
#include "cloud/upload_replies.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

namespace {

constexpr int status = 200;

// Pairing, session and account requests (DesktopCloud::call).
template <class Reply>
void account(const std::string& body) {
  (void)DesktopCloud::decodeReply<Reply>(DesktopCloud::RawReply{status, body});
}

// Upload and processing requests (QueueDesktopCloud::call, then the decoder).
template <class Reply>
void upload(const std::string& body) {
  nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded()) throw CloudFailure("RESPONSE_INVALID", status);
  (void)Reply::from(UploadReply{status, std::move(json)});
}

using Decoder = void (*)(const std::string&);
constexpr Decoder decoders[] = {
    account<PairDescriptor>,
    account<PairPoll>,
    account<PairRedeemed>,
    account<SettleReply>,
    account<CloudSession>,
    account<CloudInfo>,
    account<LibraryLinkResponse>,
    account<DisconnectReply>,
    upload<RunReply>,
    upload<ChunkList>,
    upload<PartReply>,
    upload<EmptyReply>,
    upload<ProcessReply>,
};

}  // namespace

TALVO_FUZZ(data) {
  if (size == 0) return 0;
  const Decoder decoder = decoders[data[0] % std::size(decoders)];
  try {
    decoder(std::string(fuzz::text(data + 1, size - 1)));
  } catch (const CloudFailure& failure) {
    fuzz::require(failure.code() == "RESPONSE_INVALID" && failure.status() == status, "refused with another failure");
  }
  return 0;
}
