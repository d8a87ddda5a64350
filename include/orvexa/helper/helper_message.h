// The helper's wire format over its Unix-domain stream socket: every message
// is a frame of a 4-byte big-endian length followed by that many bytes of a
// binary property list whose root is a dictionary.
//
// Request: "operation" (text: "getHelperVersion", "handleEvent" or
// "uninstall"); for handleEvent also "event" (integer) and "dictionary"
// (dictionary).
// Reply: "flag" (boolean), "code" (integer, a HelperEventErrorID raw value),
// "information" (dictionary) and "message" (text: the version for
// getHelperVersion, the outcome for uninstall, the reason of a refusal).
//
// Decoding never trusts the input: only binary property lists are read (no
// XML), the root must be a dictionary and every field must have its type;
// anything else yields nothing and a reason.
//
// Thread-safety: the functions are reentrant; a FrameDecoder belongs to one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvexa/platform/plist.h"

namespace orvexa {

// The largest frame body either side accepts.
inline constexpr uint32_t kHelperMaxFrameSize = 16u * 1024u * 1024u;

struct HelperRequest {
  enum class Operation { getHelperVersion, handleEvent, uninstall };
  Operation operation = Operation::getHelperVersion;
  int event = 0;  // handleEvent only
  PlistValue dictionary;
};

struct HelperReply {
  bool flag = false;
  int code = 0;
  PlistValue information;
  std::string message;
};

// The frame (length and body) of a value.
std::string encodeHelperFrame(const PlistValue& body);
PlistValue helperRequestToPlist(const HelperRequest& request);
PlistValue helperReplyToPlist(const HelperReply& reply);

// Bodies (without the length) to messages; nothing and `error` on bad input.
std::optional<HelperRequest> decodeHelperRequest(std::string_view body, std::string* error);
std::optional<HelperReply> decodeHelperReply(std::string_view body, std::string* error);

// Splits a byte stream into frame bodies.
class HelperFrameDecoder {
 public:
  enum class State { needMore, frame, tooLarge };

  explicit HelperFrameDecoder(uint32_t maxFrameSize = kHelperMaxFrameSize)
      : maxFrameSize_(maxFrameSize) {}

  void feed(std::string_view bytes) { buffer_.append(bytes); }
  // `frame`: *body holds the next body. `tooLarge`: the announced length
  // exceeds the limit (then *announced holds it); the stream cannot go on.
  State next(std::string* body, uint32_t* announced = nullptr);
  // Bytes received and not yet returned as a frame.
  size_t pending() const { return buffer_.size() - offset_; }

 private:
  uint32_t maxFrameSize_;
  std::string buffer_;
  size_t offset_ = 0;
};

// Blocking I/O of whole frames on a stream socket. Results of readHelperFrame:
enum class FrameReadStatus {
  ok,         // *body holds the body
  closed,     // the peer ended the stream between frames
  truncated,  // the stream ended inside a frame
  tooLarge,   // the announced length exceeds `maxFrameSize` (*announced holds it)
  failed,     // a read error (*err holds errno)
};
FrameReadStatus readHelperFrame(int fd, uint32_t maxFrameSize, std::string* body,
                                uint32_t* announced = nullptr, int* err = nullptr);
// Writes all bytes (no SIGPIPE); false with *err on failure.
bool writeAllToSocket(int fd, std::string_view bytes, int* err = nullptr);

}  // namespace orvexa
