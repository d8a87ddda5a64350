// The one way the library writes a file: other programs' stores it edits
// (JSON, property lists) and its own property lists.
//
// writeFileAtomically replaces the file's whole content in one step: the
// bytes go to a new temporary file in the same folder (so the rename stays on
// one file system), are synced, and the temporary is renamed over `path`. An
// interruption leaves the old or the new file, never a part; on failure the
// temporary is removed and `path` is unchanged. A file that existed keeps its
// permission bits and, where this process may set them (as root), its owner
// and group, so that a store edited as root stays its user's; a new file gets
// 0644 and this process's owner. A link at `path` is replaced, not followed.
//
// Ownership: nothing is kept; descriptors are closed before returning.
// Thread-safety: no state; concurrent writers of one path each leave a whole
// file (the last rename wins). Errors: returned as a FileStatus naming
// `path`, never thrown.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "orvexa/platform/posix_error.h"

namespace orvexa {

FileStatus writeFileAtomically(const std::string& path, std::string_view bytes);
// The same with the permission bits given; the file becomes this process's
// whoever owned the old one (a program installed as root must not stay
// writable by whoever created the file before).
FileStatus writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// Writes all of `bytes` to the open descriptor `fd`, retrying short writes
// and EINTR. `path` only names the file in the error.
FileStatus writeAll(int fd, std::string_view bytes, std::string_view path);

}  // namespace orvexa
