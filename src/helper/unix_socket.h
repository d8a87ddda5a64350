// Internal: Unix-domain stream sockets by path, for the helper and its
// client. Paths longer than a socket address holds are reached through the
// descriptor of their folder (/proc/self/fd/N/name).
#pragma once

#include <sys/types.h>

#include <string>

namespace orvexa::detail {

// A connected socket, or -1 with *err set.
int connectUnixSocket(const std::string& path, int* err);

// A listening socket bound at `path` with the given mode, or -1 with *error
// set. A stale socket file (nothing accepts on it) is replaced; a live one
// or any other kind of item is left alone and reported.
int listenUnixSocket(const std::string& path, mode_t mode, std::string* error);

// The user id of the peer of a connected socket; false when unknown.
bool peerUserId(int fd, uid_t* uid);

}  // namespace orvexa::detail
