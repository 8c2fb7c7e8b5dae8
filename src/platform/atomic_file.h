// Replacing a file so that a reader never sees it half written and a failure or a crash leaves
// the previous file whole: the new content goes to a fresh file in the same directory, is flushed
// to disk and then renamed over the old one.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace brevanto {

// Replaces `path` with `bytes` (creating it, and its directory, when absent). Returns 0, or the
// errno of the step that failed; the temporary file is removed on failure.
int WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                        mode_t mode = 0644);

}  // namespace brevanto
