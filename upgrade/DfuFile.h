// Firmware files, without any USB: a standard DFU 1.1 file (the image, then the 16-byte suffix with
// the device's ids, the DFU version 0x0100, the signature "UFD", its length and a CRC-32 of every
// byte before the CRC), so other DFU tools take our files and we take theirs. The image starts with
// a header of our own that says what the firmware is:
//
//   offset size
//   0      4    magic "QMR7"
//   4      1    header format, 1
//   5      1    D, length of the description (0 to 255)
//   6      1    F, length of the firmware name (1 to 255)
//   7      1    P, length of the PSR name (1 to 255)
//   8      4    firmware version, little-endian: the number the device reports once it runs it
//   12     D    description, UTF-8, no control characters
//   12+D   F    firmware name, printable ASCII without blanks
//   12+D+F P    PSR name, likewise; F + P at most kMaxNamesLength
//   then the firmware body as the device stores it.
//
// The whole image, header included, is what the device receives. The names are what the device
// reports in its USB configuration string once it runs the firmware ("FW:<name> PSR:<name>").
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dfu {

inline constexpr std::size_t kSuffixSize = 16;
inline constexpr std::size_t kHeaderFixedSize = 12;
inline constexpr std::size_t kMaxDescription = 255;
// A USB string descriptor holds 126 characters; "FW:" and " PSR:" take 8 of them.
inline constexpr std::size_t kMaxNamesLength = 118;
inline constexpr std::uint8_t kHeaderFormat = 1;
inline constexpr char kHeaderMagic[4] = {'Q', 'M', 'R', '7'};
// In the suffix, a product, vendor or device number that matches any device.
inline constexpr std::uint16_t kAnyId = 0xFFFF;
inline constexpr std::uint16_t kBcdDfuFile = 0x0100;  // the suffix's DFU version
// The largest file taken as firmware: 16 MiB. The headset's firmware lives in the flash of its
// Bluetooth chip, a few megabytes at most, and its images are far smaller; a larger file cannot be
// firmware for it. Files are refused on their size, before any byte is read, so no file can make
// the tool read without end or take more memory than this (a download holds the whole image).
inline constexpr std::uint64_t kMaxFileSize = std::uint64_t{16} << 20;

// What is wrong with a file, first fault found; the caller decides what it means.
enum class FileFault {
  None,
  Open,  // empty path, no such file, no permission, not a regular file (a folder, a device node,
         // a named pipe, a socket) or a file of the kernel's own file systems (/proc, /sys)
  TooLarge,  // larger than kMaxFileSize
  Read,      // the file could not be read to its end
  Short,     // too small for a suffix, or the suffix claims more than the file holds
  Suffix,    // no "UFD" signature, a suffix length below 16, or a DFU version other than 0x0100
  Crc,       // the CRC does not match
  Header,    // the image lacks our header or the header is malformed
};

const char* FileFaultText(FileFault fault);

struct Suffix {
  std::uint16_t bcdDevice = kAnyId;
  std::uint16_t idProduct = kAnyId;
  std::uint16_t idVendor = kAnyId;
  std::uint16_t bcdDfu = 0x0100;
  std::uint8_t length = kSuffixSize;
  std::uint32_t crc = 0;
};

struct ImageHeader {
  std::uint32_t firmwareVersion = 0;
  std::string description;
  std::string firmwareName;
  std::string psrName;

  std::size_t Size() const {
    return kHeaderFixedSize + description.size() + firmwareName.size() + psrName.size();
  }
};

// The DFU file CRC: CRC-32 with the all-ones start and no final inversion (upgrade/Crc32.h).
std::uint32_t DfuCrc(std::span<const std::uint8_t> bytes);

// The suffix of a whole file held in memory, CRC checked; `imageSize` is what precedes it.
FileFault ParseSuffix(std::span<const std::uint8_t> file, Suffix& suffix, std::size_t& imageSize);

// Our header at the start of an image; `image` may be just its first bytes.
FileFault ParseHeader(std::span<const std::uint8_t> image, ImageHeader& header);

// Empty when the header can be written, else what is wrong with it.
std::string HeaderProblem(const ImageHeader& header);

// Header, body and suffix with its CRC; the header must have no problem.
std::vector<std::uint8_t> BuildFile(const ImageHeader& header, std::span<const std::uint8_t> body,
                                    const Suffix& ids);

// Appends a suffix with `ids` and the CRC to any image.
void AppendSuffix(std::vector<std::uint8_t>& image, const Suffix& ids);

struct FileInfo {
  Suffix suffix;
  ImageHeader header;
  std::uint64_t imageSize = 0;
};

// Checks a file on disk without holding it in memory: suffix, CRC, then our header. Only a regular
// file of kMaxFileSize or less is read, and nothing that is not one is even opened, so a named
// pipe or a device given as the file never blocks the caller.
FileFault CheckFile(const std::string& path, FileInfo& info);

// The checks of CheckFile on the file read once into memory, and the image (the file without its
// suffix) for a download: the image is exactly the bytes that were checked.
FileFault LoadImage(const std::string& path, FileInfo& info, std::vector<std::uint8_t>& image);

// The checks of CheckFile on a whole file held in memory.
FileFault CheckBytes(std::span<const std::uint8_t> file, FileInfo& info);

// The whole of a file that CheckFile would read (a regular file of at most kMaxFileSize bytes),
// read once, for checks in memory. Only Open, TooLarge and Read are reported.
FileFault ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes);

}  // namespace dfu
