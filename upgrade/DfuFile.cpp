#include "upgrade/DfuFile.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "upgrade/Crc32.h"
#include "upgrade/RegularFile.h"

namespace dfu {
namespace {

constexpr std::size_t kChunk = 1 << 20;

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// The suffix fields of the last kSuffixSize bytes; the CRC is not checked here.
FileFault DecodeSuffix(const std::uint8_t* tail, std::uint64_t fileSize, Suffix& suffix) {
  if (tail[8] != 'U' || tail[9] != 'F' || tail[10] != 'D') return FileFault::Suffix;
  suffix.bcdDevice = Le16(tail);
  suffix.idProduct = Le16(tail + 2);
  suffix.idVendor = Le16(tail + 4);
  suffix.bcdDfu = Le16(tail + 6);
  suffix.length = tail[11];
  suffix.crc = Le32(tail + 12);
  if (suffix.length < kSuffixSize || suffix.bcdDfu != kBcdDfuFile) return FileFault::Suffix;
  if (suffix.length > fileSize) return FileFault::Short;
  return FileFault::None;
}

bool IsNameChar(std::uint8_t c) {
  return c > 0x20 && c < 0x7F;
}

bool IsTextChar(std::uint8_t c) {
  return c >= 0x20 && c != 0x7F;
}

// Opens `path` for reading when it is a regular file of an ordinary file system and of at most
// kMaxFileSize bytes.
FileFault OpenFile(const std::string& path, std::unique_ptr<RegularFile>& file) {
  if (path.empty()) return FileFault::Open;
  file = OpenRegularFile(path);
  if (file == nullptr) return FileFault::Open;
  return file->Size() > kMaxFileSize ? FileFault::TooLarge : FileFault::None;
}

}  // namespace

const char* FileFaultText(FileFault fault) {
  switch (fault) {
    case FileFault::None:
      return "valid";
    case FileFault::Open:
      return "not a regular file that can be opened";
    case FileFault::TooLarge:
      static_assert(kMaxFileSize == 16u << 20, "the text names the limit");
      return "larger than any firmware the headset can hold (16 MiB)";
    case FileFault::Read:
      return "cannot read the file";
    case FileFault::Short:
      return "too short for a DFU suffix";
    case FileFault::Suffix:
      return "no valid DFU 1.0 suffix";
    case FileFault::Crc:
      return "CRC mismatch";
    case FileFault::Header:
      return "no valid QM-R7 firmware header";
  }
  return "unknown fault";
}

std::uint32_t DfuCrc(std::span<const std::uint8_t> bytes) {
  return Crc32Update(kCrc32Start, bytes);
}

FileFault ParseSuffix(std::span<const std::uint8_t> file, Suffix& suffix, std::size_t& imageSize) {
  if (file.size() < kSuffixSize) return FileFault::Short;
  const std::uint8_t* tail = file.data() + file.size() - kSuffixSize;
  if (const FileFault f = DecodeSuffix(tail, file.size(), suffix); f != FileFault::None) return f;
  if (DfuCrc(file.first(file.size() - 4)) != suffix.crc) return FileFault::Crc;
  imageSize = file.size() - suffix.length;
  return FileFault::None;
}

FileFault ParseHeader(std::span<const std::uint8_t> image, ImageHeader& header) {
  if (image.size() < kHeaderFixedSize ||
      !std::equal(kHeaderMagic, kHeaderMagic + 4, image.data(),
                  [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
    return FileFault::Header;
  }
  if (image[4] != kHeaderFormat) return FileFault::Header;
  const std::size_t d = image[5], f = image[6], p = image[7];
  if (f == 0 || p == 0 || f + p > kMaxNamesLength) return FileFault::Header;
  if (image.size() < kHeaderFixedSize + d + f + p) return FileFault::Header;
  const auto text = image.subspan(kHeaderFixedSize);
  const auto description = text.first(d);
  const auto firmware = text.subspan(d, f);
  const auto psr = text.subspan(d + f, p);
  if (!std::all_of(description.begin(), description.end(), IsTextChar) ||
      !std::all_of(firmware.begin(), firmware.end(), IsNameChar) ||
      !std::all_of(psr.begin(), psr.end(), IsNameChar)) {
    return FileFault::Header;
  }
  header.firmwareVersion = Le32(image.data() + 8);
  header.description.assign(description.begin(), description.end());
  header.firmwareName.assign(firmware.begin(), firmware.end());
  header.psrName.assign(psr.begin(), psr.end());
  return FileFault::None;
}

std::string HeaderProblem(const ImageHeader& header) {
  const auto all = [](const std::string& s, bool (*ok)(std::uint8_t)) {
    return std::all_of(s.begin(), s.end(),
                       [ok](char c) { return ok(static_cast<std::uint8_t>(c)); });
  };
  if (header.description.size() > kMaxDescription) return "the description is over 255 bytes";
  if (!all(header.description, IsTextChar)) return "the description holds control characters";
  if (header.firmwareName.empty() || header.psrName.empty())
    return "a firmware or PSR name is empty";
  if (header.firmwareName.size() + header.psrName.size() > kMaxNamesLength) {
    return "the firmware and PSR names together are over 118 characters";
  }
  if (!all(header.firmwareName, IsNameChar) || !all(header.psrName, IsNameChar)) {
    return "names must be printable ASCII without blanks";
  }
  return {};
}

void AppendSuffix(std::vector<std::uint8_t>& image, const Suffix& ids) {
  PutLe16(image, ids.bcdDevice);
  PutLe16(image, ids.idProduct);
  PutLe16(image, ids.idVendor);
  PutLe16(image, kBcdDfuFile);
  image.push_back('U');
  image.push_back('F');
  image.push_back('D');
  image.push_back(static_cast<std::uint8_t>(kSuffixSize));
  PutLe32(image, DfuCrc(image));
}

std::vector<std::uint8_t> BuildFile(const ImageHeader& header, std::span<const std::uint8_t> body,
                                    const Suffix& ids) {
  std::vector<std::uint8_t> file(kHeaderMagic, kHeaderMagic + 4);
  file.push_back(kHeaderFormat);
  file.push_back(static_cast<std::uint8_t>(header.description.size()));
  file.push_back(static_cast<std::uint8_t>(header.firmwareName.size()));
  file.push_back(static_cast<std::uint8_t>(header.psrName.size()));
  PutLe32(file, header.firmwareVersion);
  for (const std::string* s : {&header.description, &header.firmwareName, &header.psrName})
    file.insert(file.end(), s->begin(), s->end());
  file.insert(file.end(), body.begin(), body.end());
  AppendSuffix(file, ids);
  return file;
}

FileFault CheckFile(const std::string& path, FileInfo& info) {
  info = FileInfo{};
  std::unique_ptr<RegularFile> file;
  if (const FileFault f = OpenFile(path, file); f != FileFault::None) return f;
  const std::uint64_t size = file->Size();
  if (size < kSuffixSize) return FileFault::Short;

  std::uint8_t tail[kSuffixSize];
  if (!file->ReadAt(tail, kSuffixSize, size - kSuffixSize)) return FileFault::Read;
  if (const FileFault f = DecodeSuffix(tail, size, info.suffix); f != FileFault::None) return f;
  info.imageSize = size - info.suffix.length;

  // One pass over the file: the CRC of everything before the CRC field, and our header from the
  // same bytes, so the header judged is one the CRC covered.
  std::uint8_t head[kHeaderFixedSize + 3 * 255];
  const auto headSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, info.imageSize));
  const std::uint64_t crcEnd = size - 4;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunk]);
  std::uint32_t crc = kCrc32Start;
  for (std::uint64_t at = 0; at < crcEnd;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, crcEnd - at));
    if (!file->ReadAt(buffer.get(), n, at)) return FileFault::Read;
    crc = Crc32Update(crc, {buffer.get(), n});
    if (at < headSize) {
      std::memcpy(head + at, buffer.get(), std::min<std::size_t>(n, headSize - at));
    }
    at += n;
  }
  if (crc != info.suffix.crc) return FileFault::Crc;
  return ParseHeader({head, headSize}, info.header);
}

FileFault CheckBytes(std::span<const std::uint8_t> file, FileInfo& info) {
  info = FileInfo{};
  if (file.size() > kMaxFileSize) return FileFault::TooLarge;
  std::size_t imageSize = 0;
  if (const FileFault f = ParseSuffix(file, info.suffix, imageSize); f != FileFault::None) {
    return f;
  }
  info.imageSize = imageSize;
  return ParseHeader(file.first(imageSize), info.header);
}

FileFault ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  std::unique_ptr<RegularFile> file;
  if (const FileFault f = OpenFile(path, file); f != FileFault::None) return f;
  const std::uint64_t size = file->Size();
  // The size it had when it was opened: a file that grows meanwhile is read that far, one that
  // shrinks cannot be read to its end.
  bytes.resize(static_cast<std::size_t>(size));
  if (!file->ReadAt(bytes.data(), bytes.size(), 0)) {
    bytes.clear();
    return FileFault::Read;
  }
  return FileFault::None;
}

FileFault LoadImage(const std::string& path, FileInfo& info, std::vector<std::uint8_t>& image) {
  info = FileInfo{};
  FileFault fault = ReadWholeFile(path, image);
  if (fault == FileFault::None) fault = CheckBytes(image, info);
  if (fault != FileFault::None) {
    image.clear();
    return fault;
  }
  image.resize(static_cast<std::size_t>(info.imageSize));
  return FileFault::None;
}

}  // namespace dfu
