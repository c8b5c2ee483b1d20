// The test harness itself: every process test owns port 12345, and where no private network can
// be had, the tests say why and are reported skipped instead of passing unseen.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "harness.h"

namespace {

TEST_F(ProgramTest, EveryTestStartsWithThePortToItself) {
  EXPECT_FALSE(port_listening()) << "another test's server is visible";
  start_server(TALLY_BIN);
  EXPECT_TRUE(port_listening());
}

// The test command's first test: the others need what it checks.
TEST(PrivateNetwork, CanBeEntered) {
  EXPECT_TRUE(enter_private_network()) << PRIVATE_NETWORK_HELP;
}

TEST(PrivateNetwork, WithoutNamespacesProcessTestsSaySkippedAndWhy) {
  spawn_options options;
  options.failing_syscall = SYS_unshare;
  options.failing_errno = EPERM;
  options.arguments = {"--gtest_filter=ProgramTest.EveryTestStartsWithThePortToItself"};
  // This test program, run again with one test selected.
  const child_process child = spawn("/proc/self/exe", options);
  EXPECT_EQ(exit_code(child), 0);
  const std::string output = read_file(child.stdout_path);
  EXPECT_NE(output.find("[  SKIPPED ] 1 test"), std::string::npos) << output;
  EXPECT_NE(output.find(PRIVATE_NETWORK_HELP), std::string::npos) << output;
  unlink(child.stdout_path.c_str());
  unlink(child.stderr_path.c_str());
}

}  // namespace
