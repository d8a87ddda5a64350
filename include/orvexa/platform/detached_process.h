// Starting a program that outlives us: the helper program after its
// installation, an application the user switched a login item of back on.
// Any thread.
#pragma once

#include <string>
#include <vector>

namespace orvexa {

// Starts `program` with `arguments` in a session of its own and not as our
// child (so it outlives us and leaves no zombie), in "/", with standard
// input from /dev/null and its output appended to `logPath` (/dev/null when
// empty or unopenable). False when it could not be forked; whether the
// program then ran is not known here.
bool startDetached(const std::string& program, const std::vector<std::string>& arguments = {},
                   const std::string& logPath = {});

}  // namespace orvexa
