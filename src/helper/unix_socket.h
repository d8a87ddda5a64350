// Internal: Unix-domain stream sockets by path, for the helper and its
// client. Paths longer than a socket address holds are reached through the
// descriptor of their folder (/proc/self/fd/N/name).
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/unique_fd.h"

namespace orvexa::detail {

// A connected socket, owned by the caller; none with *err set.
UniqueFd connectUnixSocket(const std::string& path, int* err);

// A listening socket bound at `path` with the given mode, owned by the
// caller; none with *error set. A stale socket file (nothing accepts on it) is replaced; a live one
// or any other kind of item is left alone and reported.
UniqueFd listenUnixSocket(const std::string& path, mode_t mode, std::string* error);

// The user id of the peer of a connected socket; false when unknown.
bool peerUserId(int fd, uid_t* uid);

}  // namespace orvexa::detail
