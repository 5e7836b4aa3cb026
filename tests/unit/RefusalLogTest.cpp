#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "helper/RefusalLog.h"
#include "tests/support/CapturingLogger.h"

namespace quillmere {
namespace {

using std::chrono::seconds;
using testing_support::CapturingLogger;

const RefusalLog::Clock::time_point start{};

TEST(RefusalLogTest, LogsABurstPerUserAndTellsWhatItLeftOutOnceTheWindowCloses) {
  CapturingLogger logger;
  RefusalLog log{logger, 2, seconds(30)};
  for (int i = 0; i < 5; ++i) log.refuse(1000, "stranger " + std::to_string(i), start + seconds(i));
  log.refuse(1001, "another", start + seconds(5));
  EXPECT_EQ(logger.lines(),
            (std::vector<std::string>{"Quillmere Helper: stranger 0",
                                      "Quillmere Helper: stranger 1", "Quillmere Helper: another"}))
      << "one user's flood does not use up another's lines";

  EXPECT_EQ(log.flush(start + seconds(29)), start + seconds(30)) << "nothing told early";
  EXPECT_EQ(logger.lines().size(), 3u);
  EXPECT_EQ(log.flush(start + seconds(30)), start + seconds(35));
  EXPECT_EQ(logger.lines().back(),
            "Quillmere Helper: Left out 3 more refusal lines for uid 1000 in 30 s");
  EXPECT_EQ(log.flush(start + seconds(40)), std::nullopt) << "a window with nothing left out "
                                                             "closes without a line";
  EXPECT_EQ(logger.lines().size(), 4u);

  // A new window after the old one: its own burst again.
  log.refuse(1000, "later", start + seconds(41));
  EXPECT_EQ(logger.lines().back(), "Quillmere Helper: later");
}

TEST(RefusalLogTest, ARefusalAfterTheWindowTellsTheCountFirst) {
  CapturingLogger logger;
  RefusalLog log{logger, 1, seconds(10)};
  log.refuse(RefusalLog::unidentified, "first", start);
  log.refuse(RefusalLog::unidentified, "second", start + seconds(1));
  log.refuse(RefusalLog::unidentified, "third", start + seconds(10));
  EXPECT_EQ(logger.lines(),
            (std::vector<std::string>{
                "Quillmere Helper: first",
                "Quillmere Helper: Left out 1 more refusal lines for unidentified peers in 10 s",
                "Quillmere Helper: third"}));
}

}  // namespace
}  // namespace quillmere
