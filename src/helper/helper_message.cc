#include "orvexa/helper/helper_message.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "orvexa/helper/helper_protocol.h"
#include "platform/plist_shape.h"

namespace orvexa {
namespace {

constexpr std::string_view kBinaryMagic = "bplist00";

constexpr std::string_view kOperationKey = "operation";
constexpr std::string_view kEventKey = "event";
constexpr std::string_view kDictionaryKey = "dictionary";
constexpr std::string_view kFlagKey = "flag";
constexpr std::string_view kCodeKey = "code";
constexpr std::string_view kInformationKey = "information";
constexpr std::string_view kMessageKey = "message";

std::optional<PlistValue> readBody(std::string_view body, std::string* error) {
  auto fail = [error](std::string text) -> std::optional<PlistValue> {
    if (error != nullptr) *error = std::move(text);
    return std::nullopt;
  };
  if (body.size() < kBinaryMagic.size() || body.substr(0, kBinaryMagic.size()) != kBinaryMagic) {
    return fail("not a binary property list");
  }
  // A NUL would cut a path short where it meets the system calls.
  if (detail::binaryPlistHasTextWithNul(body))
    return fail("a text of the message holds a NUL character");
  std::string why;
  std::optional<PlistValue> value = readPlist(body, &why);
  if (!value) return fail(why);
  if (!value->isDictionary()) return fail("the message is not a dictionary");
  return value;
}

uint32_t lengthOf(std::string_view header) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(header[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(header[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(header[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(header[3]));
}

// Reads exactly `size` bytes; the count read so far is kept in *done.
int readExactly(int fd, char* out, size_t size, size_t* done) {
  while (*done < size) {
    ssize_t n = ::recv(fd, out + *done, size - *done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return -1;  // end of stream
    *done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

std::optional<HelperHanldeEventID> makeHelperHanldeEventID(int64_t raw) {
  if (raw < 1 || raw > 4) return std::nullopt;
  return static_cast<HelperHanldeEventID>(raw);
}

std::optional<HelperEventErrorID> makeHelperEventErrorID(int64_t raw) {
  if (raw < 1 || raw > 6) return std::nullopt;
  return static_cast<HelperEventErrorID>(raw);
}

std::optional<HelperMaintenanceOperation> makeHelperMaintenanceOperation(int64_t raw) {
  if (raw < 1 || raw > 6) return std::nullopt;
  return static_cast<HelperMaintenanceOperation>(raw);
}

std::string encodeHelperFrame(const PlistValue& body) {
  const std::string bytes = writePlist(body, PlistFormat::Binary);
  const auto length = static_cast<uint32_t>(bytes.size());
  std::string frame;
  frame.reserve(bytes.size() + 4);
  frame.push_back(static_cast<char>((length >> 24) & 0xFF));
  frame.push_back(static_cast<char>((length >> 16) & 0xFF));
  frame.push_back(static_cast<char>((length >> 8) & 0xFF));
  frame.push_back(static_cast<char>(length & 0xFF));
  frame += bytes;
  return frame;
}

PlistValue helperRequestToPlist(const HelperRequest& request) {
  PlistValue body = PlistValue::dictionary();
  switch (request.operation) {
    case HelperRequest::Operation::getHelperVersion:
      body.set(std::string(kOperationKey), "getHelperVersion");
      break;
    case HelperRequest::Operation::handleEvent:
      body.set(std::string(kOperationKey), "handleEvent");
      body.set(std::string(kEventKey), request.event);
      body.set(std::string(kDictionaryKey), request.dictionary);
      break;
    case HelperRequest::Operation::uninstall:
      body.set(std::string(kOperationKey), "uninstall");
      break;
  }
  return body;
}

PlistValue helperReplyToPlist(const HelperReply& reply) {
  PlistValue body = PlistValue::dictionary();
  body.set(std::string(kFlagKey), reply.flag);
  body.set(std::string(kCodeKey), reply.code);
  body.set(std::string(kInformationKey),
           reply.information.isDictionary() ? reply.information : PlistValue::dictionary());
  body.set(std::string(kMessageKey), reply.message);
  return body;
}

std::optional<HelperRequest> decodeHelperRequest(std::string_view body, std::string* error) {
  std::optional<PlistValue> root = readBody(body, error);
  if (!root) return std::nullopt;
  auto fail = [error](std::string text) -> std::optional<HelperRequest> {
    if (error != nullptr) *error = std::move(text);
    return std::nullopt;
  };
  const PlistValue* operation = root->find(kOperationKey);
  const std::string* operationName = operation != nullptr ? operation->asString() : nullptr;
  if (operationName == nullptr) return fail("\"operation\" is missing or not a text");
  HelperRequest request;
  const std::string name = *operationName;
  if (name == "getHelperVersion") {
    request.operation = HelperRequest::Operation::getHelperVersion;
  } else if (name == "uninstall") {
    request.operation = HelperRequest::Operation::uninstall;
  } else if (name == "handleEvent") {
    request.operation = HelperRequest::Operation::handleEvent;
    const PlistValue* event = root->find(kEventKey);
    std::optional<int64_t> number = event != nullptr ? event->asInteger() : std::nullopt;
    if (!number || *number < std::numeric_limits<int32_t>::min() ||
        *number > std::numeric_limits<int32_t>::max()) {
      return fail("\"event\" is missing or not a 32-bit integer");
    }
    request.event = static_cast<int>(*number);
    const PlistValue* dictionary = root->find(kDictionaryKey);
    if (dictionary == nullptr || !dictionary->isDictionary()) {
      return fail("\"dictionary\" is missing or not a dictionary");
    }
    request.dictionary = *dictionary;
  } else {
    return fail("unknown operation \"" + name + "\"");
  }
  return request;
}

std::optional<HelperReply> decodeHelperReply(std::string_view body, std::string* error) {
  std::optional<PlistValue> root = readBody(body, error);
  if (!root) return std::nullopt;
  auto fail = [error](std::string text) -> std::optional<HelperReply> {
    if (error != nullptr) *error = std::move(text);
    return std::nullopt;
  };
  HelperReply reply;
  const PlistValue* flag = root->find(kFlagKey);
  if (flag == nullptr || !flag->asBoolean()) return fail("\"flag\" is missing or not a boolean");
  reply.flag = *flag->asBoolean();
  const PlistValue* code = root->find(kCodeKey);
  std::optional<int64_t> number = code != nullptr ? code->asInteger() : std::nullopt;
  if (!number || *number < std::numeric_limits<int32_t>::min() ||
      *number > std::numeric_limits<int32_t>::max()) {
    return fail("\"code\" is missing or not a 32-bit integer");
  }
  reply.code = static_cast<int>(*number);
  if (const PlistValue* information = root->find(kInformationKey)) {
    if (!information->isDictionary()) return fail("\"information\" is not a dictionary");
    reply.information = *information;
  }
  if (const PlistValue* message = root->find(kMessageKey)) {
    if (message->asString() == nullptr) return fail("\"message\" is not a text");
    reply.message = *message->asString();
  }
  return reply;
}

HelperFrameDecoder::State HelperFrameDecoder::next(std::string* body, uint32_t* announced) {
  if (pending() < 4) return State::needMore;
  const uint32_t length = lengthOf(std::string_view(buffer_).substr(offset_, 4));
  if (length > maxFrameSize_) {
    if (announced != nullptr) *announced = length;
    return State::tooLarge;
  }
  if (pending() - 4 < length) return State::needMore;
  body->assign(buffer_, offset_ + 4, length);
  offset_ += 4 + length;
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > 65536 && offset_ * 2 > buffer_.size()) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  return State::frame;
}

FrameReadStatus readHelperFrame(int fd, uint32_t maxFrameSize, std::string* body,
                                uint32_t* announced, int* err) {
  char header[4];
  size_t done = 0;
  int rc = readExactly(fd, header, sizeof header, &done);
  if (rc == -1) return done == 0 ? FrameReadStatus::closed : FrameReadStatus::truncated;
  if (rc != 0) {
    if (err != nullptr) *err = rc;
    return FrameReadStatus::failed;
  }
  const uint32_t length = lengthOf(std::string_view(header, sizeof header));
  if (announced != nullptr) *announced = length;
  if (length > maxFrameSize) return FrameReadStatus::tooLarge;
  // The body grows as it arrives, so an announced length costs nothing
  // until the bytes are really sent.
  constexpr size_t kChunk = 64 * 1024;
  body->clear();
  done = 0;
  while (done < length) {
    body->resize(std::min<size_t>(length, done + kChunk));
    rc = readExactly(fd, body->data(), body->size(), &done);
    if (rc == -1) return FrameReadStatus::truncated;
    if (rc != 0) {
      if (err != nullptr) *err = rc;
      return FrameReadStatus::failed;
    }
  }
  return FrameReadStatus::ok;
}

bool writeAllToSocket(int fd, std::string_view bytes, int* err) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (err != nullptr) *err = n < 0 ? errno : EPIPE;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace orvexa
