#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "toolkit/Component.h"

namespace toolkit {
namespace {

std::vector<std::string> gLog;

class Probe : public Component {
 public:
  Probe(Component* owner, std::string name) : Component(owner) { SetName(std::move(name)); }
  ~Probe() override { gLog.push_back("~" + Name()); }

  Component* watched = nullptr;

 protected:
  void Notification(Component* component, Operation operation) override {
    if (operation == Operation::Remove && component == watched) {
      gLog.push_back(Name() + " lost " + component->Name());
      watched = nullptr;
    }
  }
};

TEST(ComponentTest, OwnerDestroysItsComponentsNewestFirst) {
  gLog.clear();
  {
    Probe owner(nullptr, "form");
    new Probe(&owner, "a");
    new Probe(&owner, "b");
    EXPECT_EQ(owner.Components().size(), 2u);
  }
  EXPECT_EQ(gLog, (std::vector<std::string>{"~form", "~b", "~a"}));
}

TEST(ComponentTest, FreeNotificationTellsTheWatcherAndEndsWithEitherSide) {
  gLog.clear();
  Probe watcher(nullptr, "signal");
  {
    Probe port(nullptr, "port");
    watcher.watched = &port;
    watcher.FreeNotification(&port);
  }
  EXPECT_EQ(watcher.watched, nullptr);
  EXPECT_EQ(gLog, (std::vector<std::string>{"~port", "signal lost port"}));

  gLog.clear();
  {
    Probe port(nullptr, "port");
    watcher.watched = &port;
    watcher.FreeNotification(&port);
    watcher.RemoveFreeNotification(&port);
  }
  EXPECT_EQ(gLog, (std::vector<std::string>{"~port"}));
}

TEST(ComponentTest, LoadedEndsTheLoadingState) {
  Probe c(nullptr, "c");
  c.BeginLoading();
  EXPECT_TRUE(c.Loading());
  c.Loaded();
  EXPECT_FALSE(c.Loading());
}

}  // namespace
}  // namespace toolkit
