// Internal: the privileged helper's service run inside the calling program,
// for a program that already runs as root. Requests go to the same request
// handler the helper program serves its socket with (HelperServer::handle),
// so the same file operations and path policy apply, for the program's own
// user; no program is installed or started and no socket is made.
//
// Requests run one at a time, in order, on a serial queue (as on one
// connection); replies come on that queue's thread. CloseHelper is answered
// on the caller's thread once the work in flight has stopped; later
// requests are served again. uninstall answers that there is nothing to
// remove.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <memory>

#include "orvexa/helper/helper_protocol.h"

namespace orvexa::detail {

std::shared_ptr<HelperProtocol> makeInProcessHelper();

}  // namespace orvexa::detail
