#pragma once

#include <string>
#include <string_view>

#include "platform/Logger.h"

namespace quillmere {

// Every line the daemon writes starts with this.
inline constexpr std::string_view helperLogPrefix = "Quillmere Helper: ";

inline void logHelperLine(platform::Logger& logger, std::string_view message) {
  std::string line{helperLogPrefix};
  line += message;
  logger.log(line);
}

}  // namespace quillmere
