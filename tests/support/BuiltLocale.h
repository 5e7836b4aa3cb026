#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Processes.h"

namespace quillmere::testing_support {

// A locale in which a byte 0x5C (backslash) or 0x60 (backquote) can be the second half of a
// character, and a character whose last byte starts such a pair. Built with localedef for the
// test, since a machine need not have it.
struct MultibyteLocale {
  const char* name;
  std::string charmap;
  std::string source;
  std::string swallower;  // UTF-8 text whose last byte is a lead byte in `charmap`
};

// Test output names the locale rather than dumping its bytes.
inline void PrintTo(const MultibyteLocale& locale, std::ostream* out) { *out << locale.name; }

inline std::vector<MultibyteLocale> multibyteLocales() {
  return {
      {"Gbk", "GBK", "zh_CN", "\xe4\xb8\xad"},
      {"Gb18030", "GB18030", "zh_CN", "\xe4\xb8\xad"},
      {"Big5", "BIG5", "zh_TW", "\xe4\xb8\xad"},
      {"Big5Hkscs", "BIG5-HKSCS", "zh_HK", "\xe4\xb8\xad"},
      {"ShiftJis", "SHIFT_JIS", "ja_JP", "\xe3\x81\x81"},
  };
}

// Builds `locale` into `directory`; the environment entries that select it (LANG, LOCPATH), or
// nothing when localedef could not build it here.
inline std::optional<std::vector<std::string>> buildLocale(const MultibyteLocale& locale,
                                                           const std::string& directory) {
  const std::string name = locale.source + "." + locale.charmap;
  // localedef warns (status 1) for Shift_JIS, whose 0x5C is not a backslash, yet builds it, so
  // only the built files tell.
  static_cast<void>(platform::runProcess(
      platform::SpawnSpec{"/usr/bin/localedef",
                          {"-f", locale.charmap, "-i", locale.source, directory + "/" + name},
                          platform::currentEnvironment(),
                          platform::OutputMode::Discard,
                          platform::OutputMode::Discard}));
  if (!std::filesystem::exists(directory + "/" + name + "/LC_CTYPE")) return std::nullopt;
  return std::vector<std::string>{"LANG=" + name, "LOCPATH=" + directory};
}

// Configuration paths that try to make a swallowed backslash close the quotes around them;
// each would create the file "injected" in the working directory.
inline std::vector<std::string> swallowingPaths(const std::string& s) {
  return {
      "/tmp/p/" + s + "\"; touch injected; : " + s + "\"/wg0.conf",
      "/tmp/p/" + s + "$(touch injected)" + s + "/wg0.conf",
      "/tmp/p/" + s + "`touch injected`" + s + "/wg0.conf",
      "/tmp/p/" + s + "\\\"; touch injected; : " + s + "\"/wg0.conf",
  };
}

}  // namespace quillmere::testing_support
