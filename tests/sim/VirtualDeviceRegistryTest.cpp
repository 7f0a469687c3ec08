#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/VirtualDeviceRegistry.h"
#include "tests/support/Hostile.h"
#include "tests/support/TempDir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Generous: only a broken watcher ever waits this long.
constexpr int kSafetyTimeoutMs = 5000;

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kSafetyTimeoutMs) == 1;
}

VirtualDevice SerialDevice(std::string path, std::string description = "USB Serial Device (X)") {
  VirtualDevice device;
  device.kind = kSerialKind;
  device.path = std::move(path);
  device.description = std::move(description);
  return device;
}

// A child process that lives until Finish() (or the object's end) and is then reaped.
class ChildProcess {
 public:
  ChildProcess() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[1]);
      char c;
      while (::read(fds[0], &c, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(fds[0]);
    release_ = fds[1];
  }
  ~ChildProcess() {
    Exit();
    Reap();
  }
  pid_t Pid() const { return pid_; }
  // Lets the child exit; it stays a zombie until reaped.
  void Exit() {
    if (release_ >= 0) ::close(release_);
    release_ = -1;
  }
  void Reap() {
    Exit();
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

// A Unix socket bound at `path`, listening until the object's end or Close(); the file stays.
class BoundSocket {
 public:
  explicit BoundSocket(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    EXPECT_EQ(::listen(fd_, 1), 0);
  }
  ~BoundSocket() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The inode of this process's pid namespace.
unsigned long long OwnPidNamespace() {
  struct stat st {};
  EXPECT_EQ(::stat("/proc/self/ns/pid", &st), 0);
  return st.st_ino;
}

// A pid no process of this namespace has: a child's, after it was reaped.
pid_t PidOfNoProcess() {
  ChildProcess child;
  const pid_t pid = child.Pid();
  child.Reap();
  return pid;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { registry_.emplace(root_ + "/qmr7"); }

  // A registration file as another program would leave it.
  void WriteRegistration(const std::string& id, pid_t pid, unsigned long long started = 0,
                         const std::string& path = "/dev/pts/99",
                         unsigned long long pidNamespace = 0) {
    registry_->EnsureDirectory();
    std::ofstream(Dir() + "/" + id + ".reg")
        << "qmr7-virtual-device 1\nkind=serial\npath=" << path << "\ndescription=Fake\npid=" << pid
        << "\n"
        << (started != 0 ? "started=" + std::to_string(started) + "\n" : "")
        << (pidNamespace != 0 ? "pidns=" + std::to_string(pidNamespace) + "\n" : "");
  }

  const std::string& Dir() const { return registry_->Directory(); }

  testsupport::TempDir tmp_;
  const std::string root_ = tmp_.Path();
  std::optional<VirtualDeviceRegistry> registry_;
};

TEST_F(RegistryTest, ARegistrationIsListedWithItsOwnerUntilUnregistered) {
  EXPECT_TRUE(registry_->List().empty());  // no folder yet: nothing, and no error
  const std::string id = registry_->Register(SerialDevice("/dev/pts/5", "USB Serial Device (A)"));

  const auto devices = registry_->List();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].id, id);
  EXPECT_EQ(devices[0].kind, "serial");
  EXPECT_EQ(devices[0].path, "/dev/pts/5");
  EXPECT_EQ(devices[0].description, "USB Serial Device (A)");
  EXPECT_EQ(devices[0].pid, ::getpid());
  EXPECT_EQ(devices[0].started, VirtualDeviceRegistry::ProcessStartTime(::getpid()));
  EXPECT_NE(devices[0].started, 0u);

  struct stat st {};
  ASSERT_EQ(::stat(Dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  registry_->Unregister(id);
  EXPECT_TRUE(registry_->List().empty());
  EXPECT_NO_THROW(registry_->Unregister(id));  // twice is harmless
  EXPECT_TRUE(fs::is_empty(Dir()));            // no temporary file left behind
}

TEST_F(RegistryTest, ListingFiltersByKindAndKeepsUnknownFields) {
  VirtualDevice dfu;
  dfu.kind = "usb-dfu";
  dfu.path = "/tmp/dfu.sock";
  dfu.extra["vid"] = "0a12";
  registry_->Register(dfu);
  registry_->Register(SerialDevice("/dev/pts/6"));

  const auto serial = registry_->List(kSerialKind);
  ASSERT_EQ(serial.size(), 1u);
  EXPECT_EQ(serial[0].path, "/dev/pts/6");
  const auto others = registry_->List("usb-dfu");
  ASSERT_EQ(others.size(), 1u);
  EXPECT_EQ(others[0].extra.at("vid"), "0a12");
  EXPECT_EQ(registry_->List().size(), 2u);
}

TEST_F(RegistryTest, ScopedRegistrationUnregistersAtItsEnd) {
  {
    ScopedRegistration registration(*registry_, SerialDevice("/dev/pts/7"));
    EXPECT_EQ(registry_->List().size(), 1u);
    ScopedRegistration moved = std::move(registration);
    EXPECT_EQ(registry_->List().size(), 1u);
  }
  EXPECT_TRUE(registry_->List().empty());
}

TEST_F(RegistryTest, FieldsThatWouldBreakTheFormatAreRefused) {
  EXPECT_THROW(registry_->Register(SerialDevice("/dev/pts/1", "two\nlines")), RegistryError);
  EXPECT_THROW(registry_->Register(SerialDevice("")), RegistryError);
  VirtualDevice badKind = SerialDevice("/dev/pts/1");
  badKind.kind = "serial\npath=/etc/passwd";
  EXPECT_THROW(registry_->Register(badKind), RegistryError);
  EXPECT_TRUE(registry_->List().empty());
}

TEST(RegistryFormatTest, ParseAcceptsOnlyCompleteVersionOneRegistrations) {
  struct Case {
    const char* name;
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"complete", "qmr7-virtual-device 1\nkind=serial\npath=/dev/pts/3\npid=12\n", true},
      {"description may be empty",
       "qmr7-virtual-device 1\nkind=serial\npath=/p\ndescription=\npid=1\n", true},
      {"value with equals sign",
       "qmr7-virtual-device 1\nkind=serial\npath=/p\ndescription=a=b\npid=1\n", true},
      {"other version", "qmr7-virtual-device 2\nkind=serial\npath=/p\npid=1\n", false},
      {"no header", "kind=serial\npath=/p\npid=1\n", false},
      {"no pid", "qmr7-virtual-device 1\nkind=serial\npath=/p\n", false},
      {"no path", "qmr7-virtual-device 1\nkind=serial\npid=1\n", false},
      {"pid not a number", "qmr7-virtual-device 1\nkind=serial\npath=/p\npid=12x\n", false},
      {"pid zero", "qmr7-virtual-device 1\nkind=serial\npath=/p\npid=0\n", false},
      {"namespace", "qmr7-virtual-device 1\nkind=serial\npath=/p\npid=1\npidns=4026531836\n", true},
      {"namespace not a number", "qmr7-virtual-device 1\nkind=serial\npath=/p\npid=1\npidns=x\n",
       false},
      {"line without key", "qmr7-virtual-device 1\nkind=serial\npath=/p\npid=1\njunk\n", false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    VirtualDevice device;
    EXPECT_EQ(VirtualDeviceRegistry::Parse(c.text, device), c.valid) << c.name;
  }
}

TEST(RegistryFormatTest, FormatAndParseRoundTrip) {
  VirtualDevice device = SerialDevice("/dev/pts/9", "USB Serial Device (QM-R7 virtual headset)");
  device.pid = 4242;
  device.started = 987654321;
  device.pidNamespace = 4026531836;
  device.extra["socket"] = "/run/user/1/dfu";
  VirtualDevice parsed;
  ASSERT_TRUE(VirtualDeviceRegistry::Parse(VirtualDeviceRegistry::Format(device), parsed));
  EXPECT_EQ(parsed, device);
}

TEST_F(RegistryTest, RegistrationsOfGoneOwnersAreIgnoredAndCleaned) {
  ChildProcess dead;
  const pid_t deadPid = dead.Pid();
  dead.Reap();
  ChildProcess zombie;
  zombie.Exit();  // not reaped: the process table still has it
  {
    // Waits until the child has really exited, without polling for it.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie.Pid()), &info, WEXITED | WNOWAIT), 0);
  }
  ChildProcess alive;

  WriteRegistration(std::to_string(deadPid) + "-00000001", deadPid);
  WriteRegistration(std::to_string(zombie.Pid()) + "-00000002", zombie.Pid());
  // Our own pid, but a different start time: a recycled pid.
  WriteRegistration(std::to_string(::getpid()) + "-00000003", ::getpid(), 1);
  WriteRegistration(std::to_string(alive.Pid()) + "-00000004", alive.Pid());
  // A writer that died before renaming its file into place.
  std::ofstream(Dir() + "/." + std::to_string(deadPid) + "-00000005.tmp") << "qmr7";

  const auto devices = registry_->List();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].pid, alive.Pid());
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(Dir())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{std::to_string(alive.Pid()) + "-00000004.reg"});
}

// An owner this process cannot see may run in another pid namespace: its registration goes only
// when its device is gone too. A killed simulator's socket, which no one listens on any more, goes;
// one still listened on stays.
TEST_F(RegistryTest, OnlyProofOfAGoneOwnerDeletesItsEntries) {
  registry_->EnsureDirectory();
  const pid_t unseen = PidOfNoProcess();
  const std::string pty = root_ + "/pty";
  std::ofstream(pty) << "";
  WriteRegistration(std::to_string(unseen) + "-00000001", unseen, 0, pty);
  WriteRegistration(std::to_string(unseen) + "-00000002", unseen, 0, root_ + "/gone-pty");
  const std::string killed = Dir() + "/.dfu-" + std::to_string(unseen) + "-00000003.sock";
  BoundSocket(killed).Close();
  const std::string listening = Dir() + "/.dfu-" + std::to_string(unseen) + "-00000004.sock";
  BoundSocket listener(listening);
  WriteRegistration(std::to_string(unseen) + "-00000005", unseen, 0, listening);

  const auto devices = registry_->List();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].path, pty);
  EXPECT_EQ(devices[1].path, listening);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(Dir())) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  const std::string id = std::to_string(unseen);
  EXPECT_EQ(left, (std::vector<std::string>{".dfu-" + id + "-00000004.sock", id + "-00000001.reg",
                                            id + "-00000005.reg"}));
  testsupport::RecordHostile("Registry", "an entry whose owner runs in another pid namespace",
                             "kept and listed while its device is there; deleted once it is gone");
}

// A killed simulator's pty is freed and the next terminal usually gets the same one, so a device
// that is still there proves nothing. An entry written in the reader's own pid namespace whose pid
// names no process has lost its owner; one of another namespace keeps today's rule, whatever its
// pid names here.
TEST_F(RegistryTest, AMissingOwnerOfTheReadersOwnNamespaceIsGoneThoughItsDeviceIsThere) {
  const pid_t unseen = PidOfNoProcess();
  const unsigned long long own = OwnPidNamespace();
  ASSERT_NE(own, 0u);
  const std::string pty = root_ + "/pty";
  std::ofstream(pty) << "";
  struct Case {
    const char* id;
    pid_t pid;
    unsigned long long started;
    unsigned long long pidNamespace;
    bool kept;
  };
  const Case cases[] = {
      {"00000001", unseen, 0, own, false},
      {"00000002", unseen, 0, own + 1, true},
      {"00000003", unseen, 0, 0, true},  // written before the namespace was recorded
      // Our pid with another start time: a recycled pid here, but another namespace's own process.
      {"00000004", ::getpid(), 1, own + 1, true},
      {"00000005", ::getpid(), 1, own, false},
  };
  for (const auto& c : cases) {
    WriteRegistration(std::to_string(c.pid) + "-" + c.id, c.pid, c.started, pty, c.pidNamespace);
  }

  std::vector<std::string> listed;
  for (const auto& device : registry_->List()) {
    listed.push_back(device.id.substr(device.id.find('-') + 1));
  }
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    if (c.kept) expected.push_back(c.id);
    EXPECT_EQ(fs::exists(Dir() + "/" + std::to_string(c.pid) + "-" + c.id + ".reg"), c.kept)
        << c.id;
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, expected);
}

TEST_F(RegistryTest, ARegistrationRecordsItsOwnersNamespace) {
  registry_->Register(SerialDevice("/dev/pts/7"));
  const auto devices = registry_->List();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].pidNamespace, OwnPidNamespace());
  EXPECT_TRUE(devices[0].extra.empty());
}

// A cleaner of temporary files removes the folder: the watcher makes it again and still hears the
// devices registered in it.
TEST_F(RegistryTest, TheWatcherOutlivesItsFolderBeingRemoved) {
  VirtualDeviceWatcher watcher(*registry_);
  fs::remove_all(Dir());
  ASSERT_TRUE(WaitReadable(watcher.Fd()));
  EXPECT_TRUE(watcher.ReadEvents().empty());
  const std::string id = registry_->Register(SerialDevice("/dev/pts/3"));
  ASSERT_TRUE(WaitReadable(watcher.Fd()));
  const auto events = watcher.ReadEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Arrived);
  EXPECT_EQ(events[0].device.id, id);
}

TEST_F(RegistryTest, AFolderOpenToOthersIsMadePrivateAndASymlinkIsRefused) {
  ASSERT_EQ(::mkdir(Dir().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Dir().c_str(), 0755), 0);
  registry_->EnsureDirectory();
  struct stat st {};
  ASSERT_EQ(::stat(Dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string link = root_ + "/link";
  ASSERT_EQ(::symlink(Dir().c_str(), link.c_str()), 0);
  EXPECT_THROW(VirtualDeviceRegistry(link).EnsureDirectory(), RegistryError);
}

TEST_F(RegistryTest, AFolderOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the folder away";
  ASSERT_EQ(::mkdir(Dir().c_str(), 0700), 0);
  ASSERT_EQ(::chown(Dir().c_str(), 12345, 12345), 0);
  EXPECT_THROW(registry_->EnsureDirectory(), RegistryError);
  EXPECT_THROW(registry_->Register(SerialDevice("/dev/pts/1")), RegistryError);
}

// What another user could leave in or around the folder: a registration of a live process (this
// one) in a folder or file that another user owns or may write to, or an entry that is no file.
// None of it is listed, nothing of it is removed, and no entry holds a listing up.
struct HostileCase {
  const char* name;
  const char* input;
  bool listed;
  bool needsRoot;  // to give a file or folder to another user
  void (*apply)(const std::string& folder, const std::string& registration);
};

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.input;
}

constexpr uid_t kOtherUser = 12345;

const HostileCase kHostileCases[] = {
    {"PrivateFolderAndFile", "a registration 0600 in the user's folder 0700", true, false,
     [](const std::string&, const std::string&) {}},
    {"FolderOthersMayRead", "the folder 0755 (others may read, not write)", true, false,
     [](const std::string& folder, const std::string&) { ::chmod(folder.c_str(), 0755); }},
    {"RegistrationOthersMayRead", "a registration 0644", true, false,
     [](const std::string&, const std::string& file) { ::chmod(file.c_str(), 0644); }},
    {"FolderTheGroupMayWrite", "the folder 0770 (its group may write)", false, false,
     [](const std::string& folder, const std::string&) { ::chmod(folder.c_str(), 0770); }},
    {"FolderAnyoneMayWrite", "the folder 0777", false, false,
     [](const std::string& folder, const std::string&) { ::chmod(folder.c_str(), 0777); }},
    {"StickyFolderAnyoneMayWrite", "the folder 1777 (sticky, as /tmp)", false, false,
     [](const std::string& folder, const std::string&) { ::chmod(folder.c_str(), 01777); }},
    {"FolderOfAnotherUser", "the folder owned by another user", false, true,
     [](const std::string& folder, const std::string&) {
       ::chown(folder.c_str(), kOtherUser, kOtherUser);
     }},
    {"FolderIsASymlink", "the folder a symlink to a private folder of the user", false, false,
     [](const std::string& folder, const std::string&) {
       std::filesystem::rename(folder, folder + ".real");
       ::symlink((folder + ".real").c_str(), folder.c_str());
     }},
    {"RegistrationTheGroupMayWrite", "a registration 0620 (its group may write)", false, false,
     [](const std::string&, const std::string& file) { ::chmod(file.c_str(), 0620); }},
    {"RegistrationAnyoneMayWrite", "a registration 0666", false, false,
     [](const std::string&, const std::string& file) { ::chmod(file.c_str(), 0666); }},
    {"RegistrationOfAnotherUser", "a registration owned by another user", false, true,
     [](const std::string&, const std::string& file) {
       ::chown(file.c_str(), kOtherUser, kOtherUser);
     }},
    {"RegistrationIsASymlink", "a registration that is a symlink to a valid one elsewhere", false,
     false,
     [](const std::string& folder, const std::string& file) {
       std::filesystem::rename(file, folder + "/../elsewhere");
       ::symlink((folder + "/../elsewhere").c_str(), file.c_str());
     }},
    {"RegistrationIsANamedPipe", "a named pipe named like a registration", false, false,
     [](const std::string&, const std::string& file) {
       std::filesystem::remove(file);
       ::mkfifo(file.c_str(), 0600);
     }},
    {"RegistrationIsAFolder", "a folder named like a registration", false, false,
     [](const std::string&, const std::string& file) {
       std::filesystem::remove(file);
       ::mkdir(file.c_str(), 0700);
     }},
    {"RegistrationTooLong", "a registration of more than 4096 bytes", false, false,
     [](const std::string&, const std::string& file) {
       std::ofstream(file, std::ios::app) << "padding=" << std::string(5000, 'x') << "\n";
     }},
    {"RegistrationOfAnotherVersion", "a registration of format version 2", false, false,
     [](const std::string&, const std::string& file) {
       std::string text = testsupport::ReadFile(file);
       text.replace(text.find(" 1\n"), 3, " 2\n");
       testsupport::WriteFile(file, text);
     }},
};

class HostileRegistryTest : public RegistryTest,
                            public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileRegistryTest, OnlyPrivateRegistrationsInAPrivateFolderAreListed) {
  const HostileCase& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "needs root to give it to another user";
  const std::string id = std::to_string(::getpid()) + "-00000001";
  WriteRegistration(id, ::getpid(), VirtualDeviceRegistry::ProcessStartTime(::getpid()));
  const std::string file = Dir() + "/" + id + ".reg";
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  c.apply(Dir(), file);

  const VirtualDeviceRegistry registry = *registry_;
  const auto listed = testsupport::WithinBound([registry] { return registry.List(); });
  ASSERT_TRUE(listed) << "listing blocked on " << c.input;
  EXPECT_EQ(listed->size(), c.listed ? 1u : 0u);
  struct stat st {};
  EXPECT_EQ(::lstat(file.c_str(), &st), 0) << "an entry not listed is left as it is";
  testsupport::RecordHostile("Registry", c.input, c.listed ? "listed" : "ignored, left in place");
}

INSTANTIATE_TEST_SUITE_P(Entries, HostileRegistryTest, ::testing::ValuesIn(kHostileCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(RegistryDirectoryTest, DefaultFolderFollowsTheRuntimeDirectoryElseTheTemporaryOne) {
  const auto saved = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto runtime = saved("XDG_RUNTIME_DIR");
  const auto tmp = saved("TMPDIR");
  const std::string uid = std::to_string(::geteuid());

  testsupport::TempDir runtimeDir;
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.Path().c_str(), 1);
  EXPECT_EQ(VirtualDeviceRegistry::DefaultDirectory(), runtimeDir / "qmr7");
  // Another user's runtime folder (root's under `sudo -E`, keeping the user's environment) is
  // never used: the folder made there would shut the user's own programs out.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(runtimeDir.Path().c_str(), 12345, 12345), 0);
    ::unsetenv("TMPDIR");
    EXPECT_EQ(VirtualDeviceRegistry::DefaultDirectory(), "/tmp/qmr7-" + uid);
    ASSERT_EQ(::chown(runtimeDir.Path().c_str(), 0, 0), 0);
  }
  ::setenv("XDG_RUNTIME_DIR", "/nonexistent/run/user/77", 1);  // missing: not used
  ::unsetenv("TMPDIR");
  EXPECT_EQ(VirtualDeviceRegistry::DefaultDirectory(), "/tmp/qmr7-" + uid);
  ::unsetenv("XDG_RUNTIME_DIR");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(VirtualDeviceRegistry::DefaultDirectory(), "/tmp/qmr7-" + uid);
  ::setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(VirtualDeviceRegistry::DefaultDirectory(), "/var/tmp/qmr7-" + uid);
  ::setenv("XDG_RUNTIME_DIR", "relative", 1);  // not usable: ignored
  EXPECT_EQ(VirtualDeviceRegistry::DefaultDirectory(), "/var/tmp/qmr7-" + uid);

  const auto restore = [](const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  };
  restore("XDG_RUNTIME_DIR", runtime);
  restore("TMPDIR", tmp);
}

TEST_F(RegistryTest, TheWatcherReportsArrivalsAndRemovalsButNotTheStartingSet) {
  const std::string first = registry_->Register(SerialDevice("/dev/pts/1"));
  VirtualDeviceWatcher watcher(*registry_);
  ASSERT_EQ(watcher.Devices().size(), 1u);
  EXPECT_TRUE(watcher.ReadEvents().empty());

  const std::string second = registry_->Register(SerialDevice("/dev/pts/2", "Second"));
  ASSERT_TRUE(WaitReadable(watcher.Fd()));
  auto events = watcher.ReadEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Arrived);
  EXPECT_EQ(events[0].device.id, second);
  EXPECT_EQ(events[0].device.description, "Second");

  registry_->Unregister(first);
  ASSERT_TRUE(WaitReadable(watcher.Fd()));
  events = watcher.ReadEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Removed);
  EXPECT_EQ(events[0].device.path, "/dev/pts/1");  // a removal still tells what went
  ASSERT_EQ(watcher.Devices().size(), 1u);
  EXPECT_EQ(watcher.Devices()[0].id, second);
}

TEST_F(RegistryTest, TheWatcherReportsTheDeviceOfAnOwnerThatDiesWithoutUnregistering) {
  ChildProcess owner;
  VirtualDeviceWatcher watcher(*registry_);
  WriteRegistration(std::to_string(owner.Pid()) + "-0000abcd", owner.Pid());
  ASSERT_TRUE(WaitReadable(watcher.Fd()));
  auto events = watcher.ReadEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Arrived);

  owner.Exit();  // the file stays: only the owner's exit can tell
  ASSERT_TRUE(WaitReadable(watcher.Fd()));
  events = watcher.ReadEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Removed);
  EXPECT_EQ(events[0].device.pid, owner.Pid());
  EXPECT_TRUE(fs::is_empty(Dir()));
  EXPECT_TRUE(watcher.ReadEvents().empty());  // told once
}

}  // namespace
}  // namespace platform
