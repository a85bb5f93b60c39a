// The account's name as killall -u gets it, for accounts the system knows
// and one it does not.

#include "platform/user_account.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "test_util.h"

namespace kavri {
namespace {

TEST(UserAccountLinuxTest, TheNameIsTheRealUsersOrNoneForAnAccountWithoutOne) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to become other users";
  EXPECT_EQ(currentUserName(), "root");
  auto name = [] { return currentUserName().value_or("no name"); };
  EXPECT_EQ(testing::inChildAs(testing::kNobody, name), "nobody");
  // Only the real user counts: an effective uid of nobody changes nothing.
  auto nameAsNobody = [&] { return seteuid(testing::kNobody) == 0 ? name() : "seteuid failed"; };
  EXPECT_EQ(testing::inChildAs(0, nameAsNobody), "root");

  constexpr uid_t kUnnamed = 4242421;
  ASSERT_EQ(getpwuid(kUnnamed), nullptr) << "this system has a user " << kUnnamed;
  EXPECT_EQ(testing::inChildAs(kUnnamed, name), "no name");
}

}  // namespace
}  // namespace kavri
