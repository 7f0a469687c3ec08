#include <gtest/gtest.h>

#include <cerrno>

#include "toolkit/Error.h"

namespace toolkit {
namespace {

TEST(ErrorTest, ErrnoValuesMapToTheirKind) {
  const struct {
    int code;
    ErrorKind kind;
  } cases[] = {
      {0, ErrorKind::None},
      {EIO, ErrorKind::DeviceGone},
      {ENXIO, ErrorKind::DeviceGone},
      {ENODEV, ErrorKind::DeviceGone},
      {EOPNOTSUPP, ErrorKind::NotSupported},
      {ENOTTY, ErrorKind::NotSupported},
      {ENOSYS, ErrorKind::NotSupported},
      {ETIMEDOUT, ErrorKind::TimedOut},
      {EINVAL, ErrorKind::OsFailure},
      {EBADF, ErrorKind::OsFailure},
      {EBUSY, ErrorKind::OsFailure},
      {EACCES, ErrorKind::OsFailure},
      {ENOENT, ErrorKind::OsFailure},
      {ECANCELED, ErrorKind::OsFailure},
      {ENOTDIR, ErrorKind::OsFailure},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KindOfErrno(c.code), c.kind) << c.code;
  }
}

TEST(ErrorTest, AnErrnoErrorKeepsCodeTextAndOperation) {
  const Error e = ErrnoError(ENOENT, "open /dev/ttyACM9");
  EXPECT_TRUE(e);
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_EQ(e.code, ENOENT);
  EXPECT_EQ(e.text, "No such file or directory");
  EXPECT_EQ(Describe(e), "open /dev/ttyACM9: No such file or directory");

  const Error mistake = CallerMistake("Can't perform this operation on a closed port", "read");
  EXPECT_EQ(mistake.kind, ErrorKind::CallerMistake);
  EXPECT_EQ(mistake.code, 0);
  EXPECT_FALSE(Error{});
}

TEST(ErrorTest, SystemTextLosesTrailingFullStopsAndBlanks) {
  for (int code : {EIO, EINVAL, EBADF, ENOTTY, 12345}) {
    const std::string text = ErrnoText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '.') << code;
    EXPECT_NE(text.back(), ' ') << code;
  }
}

}  // namespace
}  // namespace toolkit
