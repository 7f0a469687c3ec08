#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Folders.h"
#include "tests/support/TempDir.h"

namespace platform {
namespace {

TEST(FoldersTest, ProgramBaseNameDropsTheFolderAndTheProgramExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"/usr/bin/qmr7-tool", "qmr7-tool"},
      {"/opt/my.tool.exe", "my.tool"},
      {"/opt/my.tool", "my.tool"},
      {"my.tool", "my.tool"},
      {"TOOL.EXE", "TOOL"},
      {"/a.b/tool", "tool"},
      {".exe", ".exe"},
  };
  for (const auto& [path, base] : cases)
    EXPECT_EQ(ProgramBaseName(path), base) << path;
}

TEST(FoldersTest, AppDataFolderFollowsXdgConfigHome) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string keep = saved != nullptr ? saved : "";
  ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
  EXPECT_EQ(UserAppDataFolder(), "/tmp/cfg");
  ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(UserAppDataFolder(), "/home/u/.config");
  if (saved != nullptr) {
    ::setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

TEST(FoldersTest, CreateFolderMakesParentsAndReportsAnExistingOneAsNotCreated) {
  testsupport::TempDir dir;
  const std::string folder = dir / "a/b/FPBFU";
  EXPECT_TRUE(CreateFolder(folder));
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_FALSE(CreateFolder(folder));
  testsupport::WriteFile(dir / "file", "x");
  EXPECT_FALSE(CreateFolder(dir / "file/FPBFU"));
}

}  // namespace
}  // namespace platform
