// When Linux lets a thread's nice value move, which decides whether a priority class is applied.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "comport/backend/posix/Priority.h"

namespace comport::posix {
namespace {

struct Move {
  const char* name;
  int to;
  int from;
  std::uint64_t limit;
  bool privileged;
  bool reachable;
};

TEST(SchedulingTest, ANiceValueGoesDownOnlyWithPrivilegeOrWithinTheLimit) {
  const Move moves[] = {
      {"lowering the priority", 19, 0, 0, false, true},
      {"staying", 0, 0, 0, false, true},
      {"back from idle without a limit", 0, 19, 0, false, false},
      {"back from idle within the limit", 0, 19, 20, false, true},
      {"back from idle beyond the limit", 0, 19, 19, false, false},
      {"back from idle, unlimited", 0, 19, RLIM_INFINITY, false, true},
      {"back from idle, privileged", 0, 19, 0, true, true},
      {"high without privilege", -10, 0, 0, false, false},
  };
  for (const auto& m : moves) {
    EXPECT_EQ(NiceReachable(m.to, m.from, m.limit, m.privileged), m.reachable) << m.name;
  }
}

}  // namespace
}  // namespace comport::posix
