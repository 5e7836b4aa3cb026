#pragma once

#include <gtest/gtest.h>

#include <string>

namespace quillmere::testing_support {

// Names each case of a parameterised test after its `name` member.
struct CaseName {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case>& test) const {
    return test.param.name;
  }
};

}  // namespace quillmere::testing_support
