// Keeping the viewer's own picture of each snapshot in a folder the user
// chose (QUILLON_SNAPSHOT_DIR), beside the copy fitted to the host.
//
// Some hosts pass the model a tool result's text but not its image; their
// model can open a file that the caption names. And the fitted copy is all a
// host keeps: the full-resolution render is gone after the answer unless it
// is written down. So the viewer's bytes are written as they came, under a
// name that sorts by local time and never replaces a file, through a hidden
// temporary file in the same folder, so that no reader sees half a picture.
// Files are private (0600) and folders made for them too (0700); nothing
// written is ever deleted. Saving never stands in the way of the snapshot:
// what went wrong becomes a sentence of the caption.
//
// Free functions, safe from any thread; several processes may share a
// folder.
#pragma once

#include <string>
#include <string_view>

#include "proxy.hpp"

namespace quillon {

// Where snapshots are saved, as QUILLON_SNAPSHOT_DIR says.
struct SnapshotFolder {
  // The absolute path of the folder, when it is set and usable.
  std::string path;
  // When it is set but cannot be used, why, as the end of the caption's
  // "not saved" sentence; empty otherwise.
  std::string problem;

  bool set() const { return !path.empty() || !problem.empty(); }
};

// QUILLON_SNAPSHOT_DIR, read: unset, empty, or a bundle setting that the
// host left as "${user_config....}" mean no folder. "~" alone or a leading
// "~/" is the home folder: HOME, else the password entry's (the shell
// expands neither in a quoted value or a host's configuration). "~user/"
// and relative paths are refused, the latter because hosts start servers
// in folders the user never chose.
SnapshotFolder snapshotFolder(const Environment& environment);

// Writes the viewer's picture `body` (of `mediaType`, the answer's
// Content-Type) into `folder` and returns the caption's sentence on it:
// where it was saved, at what size, or that it was not, and why. The
// folder is made, with its parents, when it does not exist.
std::string saveSnapshot(const SnapshotFolder& folder, std::string_view body,
                         std::string_view mediaType);

}  // namespace quillon
