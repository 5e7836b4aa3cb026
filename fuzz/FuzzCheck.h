#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quillmere::fuzzing {

// A property that must hold for every input. A failure aborts, which libFuzzer reports as a
// crash and saves the input that caused it.
inline void require(bool holds, std::string_view property) {
  if (!holds) {
    std::fprintf(stderr, "property violated: %.*s\n", static_cast<int>(property.size()),
                 property.data());
    std::abort();
  }
}

}  // namespace quillmere::fuzzing
