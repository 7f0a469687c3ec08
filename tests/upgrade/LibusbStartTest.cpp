// The libusb transport's start: a failed start is tried again at the next look at the bus, and
// looks from several threads start libusb once, one start at a time.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <thread>
#include <vector>

#include "upgrade/LibusbTransport.h"

namespace dfu {
namespace {

// A start that fails the first `failures` times, then starts libusb. Free functions are what the
// transport takes, so its record is kept here.
std::atomic<int> starts;
std::atomic<int> failures;
std::atomic<int> inside;
std::atomic<bool> overlapped;

int FlakyStart(libusb_context** context) {
  if (inside.fetch_add(1) != 0) overlapped = true;
  const int n = ++starts;
  const int rc = n <= failures ? LIBUSB_ERROR_OTHER : libusb_init(context);
  inside.fetch_sub(1);
  return rc;
}

class LibusbStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) GTEST_SKIP() << "libusb cannot start on this machine";
    libusb_exit(context);
    starts = 0;
    failures = 1;
    inside = 0;
    overlapped = false;
  }
};

TEST_F(LibusbStartTest, AFailedStartIsTriedAgainAtTheNextLook) {
  const auto transport = MakeLibusbTransport(&FlakyStart);
  EXPECT_TRUE(transport->List().empty());
  EXPECT_EQ(starts, 1);
  UsbError error;
  EXPECT_EQ(transport->Open("usb:1-1", error), nullptr);
  EXPECT_EQ(starts, 2) << "the failed start was not tried again";
  transport->List();
  transport->List();
  EXPECT_EQ(starts, 2) << "a started libusb was started again";
}

TEST_F(LibusbStartTest, LooksFromSeveralThreadsStartOnceAtATime) {
  failures = 3;
  const auto transport = MakeLibusbTransport(&FlakyStart);
  std::vector<std::thread> lookers;
  for (int t = 0; t < 4; ++t) {
    lookers.emplace_back([&transport] {
      for (int i = 0; i < 20; ++i)
        transport->List();
    });
  }
  for (auto& looker : lookers)
    looker.join();
  EXPECT_FALSE(overlapped) << "two starts ran at once";
  EXPECT_EQ(starts, 4) << "three failed starts, then one that holds";
}

}  // namespace
}  // namespace dfu
