#include "cloud/upload_replies.h"

#include "cloud/cloud_failure.h"

namespace talvo {

using nlohmann::json;

namespace {

// Thrown inside a decoder and turned into RESPONSE_INVALID with the reply's status.
struct Malformed {};

const json& member(const json& object, const char* key) {
  if (!object.is_object()) throw Malformed{};
  auto found = object.find(key);
  if (found == object.end()) throw Malformed{};
  return *found;
}

const json* optionalMember(const json& object, const char* key) {
  if (!object.is_object()) throw Malformed{};
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

std::string text(const json& value) {
  if (!value.is_string()) throw Malformed{};
  return value.get<std::string>();
}

std::int64_t integer(const json& value) {
  if (value.is_number_unsigned()) {
    auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(INT64_MAX)) throw Malformed{};
    return static_cast<std::int64_t>(number);
  }
  if (!value.is_number_integer()) throw Malformed{};
  return value.get<std::int64_t>();
}

template <typename Decode>
auto decode(const UploadReply& reply, Decode decode_body) {
  try {
    return decode_body(reply.body);
  } catch (const Malformed&) {
    throw CloudFailure("RESPONSE_INVALID", reply.status);
  }
}

}  // namespace

RunReply RunReply::from(const UploadReply& reply) {
  return decode(reply, [](const json& body) {
    RunReply run;
    run.id = text(member(body, "id"));
    run.status = text(member(body, "status"));
    if (const json* sha = optionalMember(body, "sha256")) run.sha256 = text(*sha);
    if (const json* bytes = optionalMember(body, "bytes")) run.bytes = integer(*bytes);
    return run;
  });
}

ChunkList ChunkList::from(const UploadReply& reply) {
  return decode(reply, [](const json& body) {
    ChunkList list;
    const json& chunks = member(body, "chunks");
    if (!chunks.is_array()) throw Malformed{};
    list.chunks.reserve(std::min<std::size_t>(chunks.size(), 513));
    for (const json& entry : chunks) {
      list.chunks.push_back(
          Entry{integer(member(entry, "seq")), text(member(entry, "sha256")), integer(member(entry, "bytes"))});
    }
    if (const json* next = optionalMember(body, "nextAfter")) list.nextAfter = integer(*next);
    return list;
  });
}

PartReply PartReply::from(const UploadReply& reply) {
  return decode(reply, [](const json& body) {
    return PartReply{integer(member(body, "seq")), text(member(body, "sha256")), integer(member(body, "bytes"))};
  });
}

EmptyReply EmptyReply::from(const UploadReply& reply) {
  return decode(reply, [](const json& body) {
    if (!body.is_object()) throw Malformed{};
    return EmptyReply{};
  });
}

ProcessReply ProcessReply::from(const UploadReply& reply) {
  return decode(reply, [](const json& body) {
    ProcessReply process;
    if (const json* job = optionalMember(body, "job")) process.job = Job{text(member(*job, "status"))};
    return process;
  });
}

}  // namespace talvo
