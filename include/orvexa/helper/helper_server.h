// HelperServer: the privileged helper's service. It listens on a
// Unix-domain stream socket, reads framed requests (helper_message.h),
// answers each with exactly one reply and does the work as the process's
// user (root, when run as the installed helper program).
//
// Trust: only root and the user id recorded at installation may talk to it
// (SO_PEERCRED of the connection); any other peer gets one refusal reply
// (code NoCause, the reason in "message" and "DeleteDesc") and the
// connection is closed without reading from it.
//
// Bad input: a frame announcing more than `maxFrameSize` bytes gets an error
// reply and the connection closes (the stream cannot be resynchronised); a
// stream that ends inside a frame is closed; a body that is not a binary
// property list holding a dictionary, a field of the wrong type, an unknown
// operation or event each get an error reply (flag false, code NoCause, the
// reason in "message" and "DeleteDesc") and the connection goes on. One
// connection's trouble never stops the others.
//
// Paths: each request acts only where the path policy allows it for the
// asking user (helper_path_policy.h; the peer's user id from SO_PEERCRED).
//
// Cancelling: work on paths (Delete, Shred, Clean, Move) looks before each
// path whether it should go on. It stops when CloseHelper is asked on any
// connection, when the service ends, or when its own client has gone (the
// peer closed or shut down its end; a client must not half-close while it
// waits for an answer). The paths not reached are answered as not done,
// with the reason. CloseHelper answers only once the work in flight has
// stopped, and says in "message" and "DeleteDesc" how far it had come
// ("Stopped after N of M items in progress; ...").
//
// Ending: CloseHelper answers and then ends the service; uninstall removes
// `uninstallPaths` (the installed program, its property list, unit and log),
// answers, and ends the service. wait() returns once the service has ended.
//
// Thread-safety: start, wait and stop may be called from any thread but not
// from inside a request (requests end the service through CloseHelper).
// Each connection is served on a thread of its own, its requests one at a
// time. A connection's socket is shut down (never closed) by whichever thread
// ends it first, its serving thread or a stop; it is closed only after that
// thread was joined, so its number is never reused under a thread still
// using it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/privileged_file_operations.h"

namespace orvexa {

inline constexpr const char* kHelperToolVersion = "1.0.0";

struct HelperServerOptions {
  std::string socketPath;
  uid_t allowedUserId = 0;  // root is always allowed as well
  std::string version = kHelperToolVersion;
  std::vector<std::string> uninstallPaths;
  uint32_t maxFrameSize = kHelperMaxFrameSize;
  size_t maxConnections = 32;
  // Diagnostics (one line per refused peer, malformed message, failure).
  std::function<void(const std::string&)> log;
  // Test seam: handed to every walk of the file operations.
  HelperWalkHook walkHook;
};

class HelperServer {
 public:
  explicit HelperServer(HelperServerOptions options);
  // Stops the service if it runs.
  ~HelperServer();
  HelperServer(const HelperServer&) = delete;
  HelperServer& operator=(const HelperServer&) = delete;

  // Binds the socket (mode 0666: the peer check decides who may talk) and
  // starts accepting on a thread of its own. False with `error` when the
  // socket cannot be made.
  bool start(std::string* error = nullptr);
  // Blocks until the service has ended (CloseHelper, uninstall or stop).
  void wait();
  // Ends the service: no new connections, open ones are closed, the socket
  // file is removed; returns when every thread has finished.
  void stop();
  bool running() const;

  // Who asks for one request, and whether its asker is still there.
  struct Client {
    uid_t userId = 0;
    std::function<bool()> gone;  // may be empty: the asker stays
  };

  // One request, as a connection runs it (the server need not be started:
  // a program running as root serves itself this way); `endService` is set
  // when the service should end after the reply has been sent.
  HelperReply handle(const HelperRequest& request, const Client& client, bool* endService);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace orvexa
