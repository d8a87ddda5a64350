// The metadata substitute for an application's last-used date
// ("kMDItemLastUsedDate"), for systems without the metadata index.
//
// What it reads: the access time of the bundle's executable
// (Contents/MacOS/<CFBundleExecutable>; when Info.plist names none, every
// regular file directly in Contents/MacOS, the latest use winning). A path
// that is itself a regular file is judged by its own times. An executable
// counts as used when its access time is later than its modification time,
// and the date returned is that access time.
//
// Why that works, and where it does not:
// - Installing or copying a bundle writes the executable, which leaves the
//   access time at (or before) the modification time. Launching it reads
//   the file, and Linux's default "relatime" mount option then moves the
//   access time forward, because it updates a file's access time whenever
//   the old one is not later than its modification (or change) time, and
//   otherwise at most once a day. So the first launch after an install is
//   always recorded; later launches are recorded at most daily, which does
//   not matter for "used or never used".
// - "strictatime" mounts behave the same; "noatime" mounts (and read-only
//   media) never record a read, so every application reads as never used.
// - Anything that reads the executable's bytes (a backup, a virus scanner,
//   a checksum, cp) counts as a use; reinstalling, updating or copying the
//   bundle without keeping times (new modification time) makes it "never
//   used" again. The answer is therefore "opened since it was last
//   written", not the launch history the metadata index keeps.
// - The engine never reads executables itself: bundles are sized by their
//   entries' metadata and identified from Info.plist only.
//
// Thread-safety: safe for concurrent use.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace orvexa {

// The date the application at `bundlePath` was last used, or nothing when no
// use is recorded (or nothing can be examined there).
std::optional<std::chrono::system_clock::time_point> lastUsedDate(const std::string& bundlePath);

}  // namespace orvexa
