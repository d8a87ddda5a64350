// HelperConnection: the library's end of the socket to the privileged
// helper, in the role of a connection to a privileged service. Calls made
// through its proxies are written in order; one reader thread per
// connection takes the replies (which come in the same order) and hands
// each to its call's reply block, on that reader thread.
//
// When the connection ends (the helper went away, a reply could not be
// read, or invalidate()), every call still waiting gets its proxy's error
// handler and then a failure answer (see helper_protocol.h), and the
// invalidation handler runs once. Calls made on an ended connection are
// treated the same way, on a pool thread. A reply that came while no call
// waited (the helper refusing the user as it accepts the connection, then
// closing) answers those calls instead of the failure answer: sent before
// any request, it can beat the first call to the socket.
//
// Ownership: the connection owns its socket and reader thread; destroying
// it invalidates it. Proxies may outlive it (their calls then fail).
// The socket's one rule: any thread may shut it down (invalidate, a failed
// write, the reader at the end), once, under the connection's lock; it is
// closed only when the connection, its proxies and its reader thread have
// all let go of it, so no thread can still be reading or writing it and its
// number cannot be reused under them.
// Thread-safety: every member may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "orvexa/helper/helper_protocol.h"

namespace orvexa {

class HelperConnection {
 public:
  using ErrorHandler = std::function<void(const std::string& error)>;

  // Connects to the helper's socket; null (with `error`) when nothing
  // accepts there.
  static std::shared_ptr<HelperConnection> connect(const std::string& socketPath,
                                                   std::string* error = nullptr);

  ~HelperConnection();
  HelperConnection(const HelperConnection&) = delete;
  HelperConnection& operator=(const HelperConnection&) = delete;

  // Runs once, on the reader thread, when the connection has ended. Set it
  // right after connecting.
  void setInvalidationHandler(std::function<void()> handler);

  // A proxy for the helper's operations. `errorHandler` (may be empty) runs
  // for each of its calls whose answer cannot come.
  std::shared_ptr<HelperProtocol> remoteObjectProxyWithErrorHandler(ErrorHandler errorHandler);

  // Ends the connection (waiting calls fail as described above).
  void invalidate();
  bool isValid() const;

  struct State;

 private:
  HelperConnection() = default;
  std::shared_ptr<State> state_;
};

}  // namespace orvexa
