// Running part of a test as another user. Root ignores permission bits, so
// tests of "permission denied" paths run that part in a child process that
// has switched to an unprivileged account.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace orvexa::testing {

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNogroupGid = 65534;

// True when the process may switch users (it runs as root).
bool canSwitchUser();

// Runs `fn` in a forked child whose user and group are `uid` and `gid` and
// returns the text it produced, or nothing when the child could not switch
// or did not finish normally. `fn` must not use gtest assertions: it reports
// through its text.
std::optional<std::string> runAsUser(uid_t uid, gid_t gid, const std::function<std::string()>& fn);

}  // namespace orvexa::testing
