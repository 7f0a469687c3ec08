// Firmware files on Linux: hostile files (pipes, devices, /proc, sockets, sizes past the limit)
// refused at once, and the copy taken at the check. The format itself is in DfuFileFormatTest.cpp,
// mkdfu in MkdfuTest.cpp, Windows' own files in DfuFileWin32Test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tests/support/Hostile.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DFUEngine.h"
#include "upgrade/FirmwareCopy.h"

namespace dfu {
namespace {

using testing::Body;
using testing::Header;
using testing::Ids;
using testing::Text;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// Recomputes the CRC after a test changed a file's bytes on purpose.
std::string Resealed(std::string file) {
  const std::uint32_t crc =
      DfuCrc({reinterpret_cast<const std::uint8_t*>(file.data()), file.size() - 4});
  for (int i = 0; i < 4; ++i)
    file[file.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  return file;
}

struct FileCase {
  const char* name;
  const char* input;                        // as the table of hostile files names it
  std::string (*make)(const TempDir& dir);  // returns the path to check; "skip: why" to skip
  FileFault fault;
};

void PrintTo(const FileCase& c, std::ostream* out) {
  *out << c.input;
}

std::string Valid() {
  return Text(BuildFile(Header(), Body(3000), Ids()));
}

std::string Link(const TempDir& d, const std::string& target) {
  const std::string link = d / "link.dfu";
  if (::symlink(target.c_str(), link.c_str()) != 0) return "skip: no symlink to " + target;
  return link;
}

// A file of `size` bytes that takes no room on the disk: all zeros but for `tail` at its end.
std::string Sparse(const TempDir& d, std::uint64_t size, const std::string& tail = {}) {
  const std::string path = d / "sparse.dfu";
  testsupport::WriteFile(path, "");
  if (::truncate(path.c_str(), static_cast<off_t>(size - tail.size())) != 0) {
    return "skip: the file system takes no file of that size";
  }
  std::ofstream(path, std::ios::binary | std::ios::app) << tail;
  return path;
}

// The suffix of a valid file, so that a file of zeros before it fails only on its CRC.
std::string ValidSuffix() {
  const std::string f = Valid();
  return f.substr(f.size() - kSuffixSize);
}

const FileCase kFileCases[] = {
    {"EmptyPath", "an empty path", [](const TempDir&) { return std::string(); }, FileFault::Open},
    {"MissingFile", "a file that does not exist",
     [](const TempDir& d) { return d / "missing.dfu"; }, FileFault::Open},
    {"Folder", "a folder",
     [](const TempDir& d) {
       ::mkdir((d / "folder.dfu").c_str(), 0700);
       return d / "folder.dfu";
     },
     FileFault::Open},
    {"NamedPipe", "a named pipe (FIFO) no one writes to",
     [](const TempDir& d) {
       ::mkfifo((d / "pipe.dfu").c_str(), 0600);
       return d / "pipe.dfu";
     },
     FileFault::Open},
    {"SymlinkToANamedPipe", "a symlink to a named pipe",
     [](const TempDir& d) {
       ::mkfifo((d / "pipe").c_str(), 0600);
       return Link(d, d / "pipe");
     },
     FileFault::Open},
    {"Device", "the device /dev/zero (endless zeros)",
     [](const TempDir&) { return std::string("/dev/zero"); }, FileFault::Open},
    {"SymlinkToADevice", "a symlink to /dev/zero",
     [](const TempDir& d) { return Link(d, "/dev/zero"); }, FileFault::Open},
    {"CharacterDeviceNode", "a character device node made in the folder (/dev/zero's numbers)",
     [](const TempDir& d) {
       const std::string node = d / "char.dfu";
       if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 5)) != 0) {
         return std::string("skip: making device nodes needs root");
       }
       return node;
     },
     FileFault::Open},
    {"BlockDeviceNode", "a block device node (a loop device's numbers)",
     [](const TempDir& d) {
       const std::string node = d / "block.dfu";
       if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) {
         return std::string("skip: making device nodes needs root");
       }
       return node;
     },
     FileFault::Open},
    {"UnixSocket", "a Unix socket",
     [](const TempDir& d) {
       const std::string path = d / "sock.dfu";
       sockaddr_un address{};
       address.sun_family = AF_UNIX;
       if (path.size() >= sizeof address.sun_path) return std::string("skip: folder path too long");
       std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
       const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
       const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
       ::close(fd);
       return bound ? path : std::string("skip: no socket");
     },
     FileFault::Open},
    {"SymlinkLoop", "a symlink that points to itself",
     [](const TempDir& d) { return Link(d, d / "link.dfu"); }, FileFault::Open},
    {"SymlinkToProcMemory", "a symlink to /proc/self/mem (the reader's own memory)",
     [](const TempDir& d) { return Link(d, "/proc/self/mem"); }, FileFault::Open},
    {"SymlinkToProcStatus", "a symlink to /proc/self/status (size 0, content made on reading)",
     [](const TempDir& d) { return Link(d, "/proc/self/status"); }, FileFault::Open},
    {"SysfsFile", "a /sys file (/sys/kernel/uevent_seqnum, size 4096, a few bytes of content)",
     [](const TempDir& d) { return Link(d, "/sys/kernel/uevent_seqnum"); }, FileFault::Open},
    {"OneByteOverTheLimit", "a file of 16 MiB + 1 byte",
     [](const TempDir& d) { return Sparse(d, kMaxFileSize + 1, ValidSuffix()); },
     FileFault::TooLarge},
    {"FarOverTheLimit", "a file of 64 GiB (sparse)",
     [](const TempDir& d) { return Sparse(d, std::uint64_t{64} << 30, ValidSuffix()); },
     FileFault::TooLarge},
    {"AtTheLimit", "a file of exactly 16 MiB (read and checked)",
     [](const TempDir& d) { return Sparse(d, kMaxFileSize, ValidSuffix()); }, FileFault::Crc},
    {"SymlinkToAValidFile", "a symlink to a valid file",
     [](const TempDir& d) {
       WriteFile(d / "f.dfu", Valid());
       return Link(d, d / "f.dfu");
     },
     FileFault::None},
    {"SmallerThanASuffix", "3 bytes",
     [](const TempDir& d) {
       WriteFile(d / "f.dfu", "UFD");
       return d / "f.dfu";
     },
     FileFault::Short},
    {"Truncated", "a valid file cut short",
     [](const TempDir& d) {
       WriteFile(d / "f.dfu", Valid().substr(0, 2000));
       return d / "f.dfu";
     },
     FileFault::Suffix},
    {"BadCrc", "one bit of a valid file flipped",
     [](const TempDir& d) {
       std::string f = Valid();
       f[100] ^= 1;
       WriteFile(d / "f.dfu", f);
       return d / "f.dfu";
     },
     FileFault::Crc},
    {"BadSignature", "a suffix without the \"UFD\" signature",
     [](const TempDir& d) {
       std::string f = Valid();
       f[f.size() - 6] = 'X';  // "UFX"
       WriteFile(d / "f.dfu", Resealed(f));
       return d / "f.dfu";
     },
     FileFault::Suffix},
    {"WrongDfuVersion", "a suffix of another DFU version",
     [](const TempDir& d) {
       std::string f = Valid();
       f[f.size() - 9] = 0x01;  // bcdDFU 0x0110
       f[f.size() - 10] = 0x10;
       WriteFile(d / "f.dfu", Resealed(f));
       return d / "f.dfu";
     },
     FileFault::Suffix},
    {"SuffixLongerThanTheFile", "a suffix length past the file's start",
     [](const TempDir& d) {
       std::vector<std::uint8_t> tiny{1, 2, 3};
       AppendSuffix(tiny, Ids());
       std::string t = Text(tiny);
       t[t.size() - 5] = static_cast<char>(200);
       WriteFile(d / "f.dfu", Resealed(t));
       return d / "f.dfu";
     },
     FileFault::Short},
    {"NoHeader", "a valid suffix on an image without our header",
     [](const TempDir& d) {
       std::vector<std::uint8_t> image = Body(3000);
       AppendSuffix(image, Ids());
       WriteFile(d / "f.dfu", Text(image));
       return d / "f.dfu";
     },
     FileFault::Header},
    {"HeaderNamesPastTheImage", "header lengths past the image's end",
     [](const TempDir& d) {
       std::vector<std::uint8_t> image{'Q', 'M', 'R', '7', 1, 0, 200, 200, 0, 0, 0, 0, 'x'};
       AppendSuffix(image, Ids());
       WriteFile(d / "f.dfu", Text(image));
       return d / "f.dfu";
     },
     FileFault::Header},
    {"Valid", "a valid file",
     [](const TempDir& d) {
       WriteFile(d / "f.dfu", Valid());
       return d / "f.dfu";
     },
     FileFault::None},
};

class FileCheck : public ::testing::TestWithParam<FileCase> {};

// Every way of reading a firmware file finds the same first fault, and returns at once: the file is
// never opened when it is not a regular file, and never read when it is too large.
TEST_P(FileCheck, HostileFilesFindTheFirstFaultAtOnce) {
  TempDir dir;
  const std::string path = GetParam().make(dir);
  if (path.rfind("skip: ", 0) == 0) GTEST_SKIP() << path.substr(6);
  struct Faults {
    FileFault checked, loaded, copied;
    bool imageEmpty, copyHeld;
  };
  const auto faults = testsupport::WithinBound([path] {
    FileInfo info;
    std::vector<std::uint8_t> image{1};
    FirmwareCopy copy;
    Faults f{CheckFile(path, info), LoadImage(path, info, image), FileFault::None, false, false};
    f.imageEmpty = image.empty();
    f.copied = FirmwareCopy::Take(path, copy, info);
    f.copyHeld = copy.Held();
    return f;
  });
  ASSERT_TRUE(faults) << "a check of " << GetParam().input << " blocked";
  const FileFault fault = GetParam().fault;
  EXPECT_EQ(faults->checked, fault) << FileFaultText(faults->checked);
  EXPECT_EQ(faults->loaded, fault) << FileFaultText(faults->loaded);
  EXPECT_EQ(faults->copied, fault) << FileFaultText(faults->copied);
  EXPECT_EQ(faults->imageEmpty, fault != FileFault::None);
  EXPECT_EQ(faults->copyHeld, fault == FileFault::None);
  testsupport::RecordHostile("Firmware file", GetParam().input,
                             fault == FileFault::None
                                 ? std::string("accepted")
                                 : std::string("refused: ") + FileFaultText(faults->checked));

  // The engine's answer agrees, and its description buffer is never left holding garbage.
  const DFUEngineHandle engine = DFUEngine_Create();
  char description[DFUENGINE_DESCRIPTION_SIZE];
  std::memset(description, '#', sizeof description);
  std::uint32_t version = 0, ids = 0, size = 0;
  const bool valid =
      DFUEngine_IsDFUFileValid(engine, path.c_str(), description, &version, &ids, &size) != 0;
  EXPECT_EQ(valid, GetParam().fault == FileFault::None);
  if (valid) {
    EXPECT_STREQ(description, "FARPOINT QM-R7 firmware");
    EXPECT_EQ(version, 124u);
    EXPECT_EQ(ids, 0x12097207u);
  } else {
    EXPECT_STREQ(description, "");
  }
  DFUEngine_Destroy(engine);
}

INSTANTIATE_TEST_SUITE_P(Files, FileCheck, ::testing::ValuesIn(kFileCases),
                         [](const auto& param) { return std::string(param.param.name); });

// After its check the file on disk may change in any way: what is read through the copy stays the
// bytes that were checked, and nothing can change the copy.
TEST(FirmwareCopyTest, ReadsTheCheckedBytesWhateverHappensToTheFile) {
  struct Change {
    const char* name;
    void (*apply)(const std::string& path);
  };
  const Change changes[] = {
      {"the file rewritten with another valid firmware file",
       [](const std::string& path) { testing::WriteFirmware(path, Header("OTHER MAKER", 999)); }},
      {"another file renamed over it",
       [](const std::string& path) {
         testing::WriteFirmware(path + ".new", Header("OTHER MAKER", 999));
         std::filesystem::rename(path + ".new", path);
       }},
      {"the file cut short", [](const std::string& path) { ::truncate(path.c_str(), 100); }},
      {"the file removed", [](const std::string& path) { std::filesystem::remove(path); }},
      {"a named pipe put in its place",
       [](const std::string& path) {
         std::filesystem::remove(path);
         ::mkfifo(path.c_str(), 0600);
       }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    TempDir dir;
    const std::string path = testing::WriteFirmware(dir / "QMR7_124.dfu", Header());
    std::vector<std::uint8_t> original;
    FileInfo info;
    ASSERT_EQ(LoadImage(path, info, original), FileFault::None);

    FirmwareCopy copy;
    ASSERT_EQ(FirmwareCopy::Take(path, copy, info), FileFault::None);
    EXPECT_EQ(info.header.firmwareVersion, 124u);
    change.apply(path);

    FileInfo again;
    std::vector<std::uint8_t> image;
    ASSERT_EQ(CheckFile(copy.Path(), again), FileFault::None);
    EXPECT_EQ(again.header.description, "FARPOINT QM-R7 firmware");
    ASSERT_EQ(LoadImage(copy.Path(), again, image), FileFault::None);
    EXPECT_EQ(image, original);
    // Sealed: not even this process can write to it, cut it or make it grow.
    const int fd = ::open(copy.Path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_LT(::pwrite(fd, "x", 1, 0), 0);
    EXPECT_NE(::ftruncate(fd, 0), 0);
    EXPECT_NE(::ftruncate(fd, 1 << 20), 0);
    ::close(fd);

    // Moved, it goes with its new owner; dropped, its path names nothing of it.
    FirmwareCopy moved = std::move(copy);
    EXPECT_FALSE(copy.Held());
    EXPECT_EQ(copy.Path(), "");
    ASSERT_TRUE(moved.Held());
    const std::string copyPath = moved.Path();
    moved = FirmwareCopy();
    EXPECT_NE(CheckFile(copyPath, again), FileFault::None);
    testsupport::RecordHostile("Firmware file", std::string("after its check, ") + change.name,
                               "the copy taken at the check still reads as the checked file");
  }
}

}  // namespace
}  // namespace dfu
