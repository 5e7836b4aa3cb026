#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace quillmere::platform {

struct AtomicWriteFailure {
  enum class Step { Write, SetMode };
  Step step = Step::Write;
  int errorNumber = 0;
};

// Puts `content` at `directory`/`name` with permission bits `mode` so that the name never shows a
// partly written file or one with other bits, and nothing is ever written through a link planted
// by somebody else. The bytes go to a fresh auxiliary file with an unpredictable name in the same
// directory, created exclusively; the mode is set on its descriptor; then it is renamed to `name`
// without replacing anything already there (an existing entry of that name fails with EEXIST).
// On failure no auxiliary file is left and nothing appears at `name`.
std::optional<AtomicWriteFailure> writeFileAtomically(const std::string& directory,
                                                      const std::string& name,
                                                      std::string_view content, mode_t mode);

}  // namespace quillmere::platform
