#pragma once

#include <optional>
#include <string>

namespace quillmere {

// Reply of the two script-running operations. An absent text and the empty text are different
// values and both occur: absent means "not valid UTF-8" or "no such text", empty means "nothing".
struct CommandResult {
  bool success = false;
  std::optional<std::string> output;
  std::optional<std::string> error;

  friend bool operator==(const CommandResult&, const CommandResult&) = default;
};

}  // namespace quillmere
