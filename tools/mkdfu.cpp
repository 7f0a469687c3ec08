// mkdfu: builds QM-R7 firmware files and shows what one holds.
//   mkdfu create --image BODY --output FILE --version N --fw NAME --psr NAME
//                [--description TEXT] [--vid ID] [--pid ID] [--bcd ID]
//   mkdfu info FILE
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "resources/Version.h"
#include "tools/Arguments.h"
#include "upgrade/DfuFile.h"

namespace {

constexpr char kUsage[] =
    "Usage: mkdfu create --image BODY --output FILE --version N --fw NAME --psr NAME\n"
    "                    [--description TEXT] [--vid ID] [--pid ID] [--bcd ID]\n"
    "       mkdfu info FILE\n"
    "\n"
    "create  writes a DFU 1.1 file: a QM-R7 firmware header (version, description, the\n"
    "        firmware and PSR names the device reports), the body, and the DFU suffix\n"
    "        with the USB ids (default 0xffff: any device) and its CRC.\n"
    "info    checks a file and prints its suffix and header.\n";

int Usage(const std::string& error) {
  std::fprintf(stderr, "mkdfu: %s\n%s", error.c_str(), kUsage);
  return 2;
}

// Paths are UTF-8 on every system.
std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool ParseId(const std::string& text, std::uint16_t& id) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value > 0xFFFF) return false;
  id = static_cast<std::uint16_t>(value);
  return true;
}

int Create(const std::vector<std::string>& args) {
  std::map<std::string, std::string> options;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (args[i].rfind("--", 0) != 0 || i + 1 >= args.size())
      return Usage("bad argument " + args[i]);
    options[args[i].substr(2)] = args[i + 1];
  }
  for (const char* required : {"image", "output", "version", "fw", "psr"}) {
    if (options.count(required) == 0) return Usage(std::string("--") + required + " is required");
  }
  dfu::ImageHeader header;
  char* end = nullptr;
  const unsigned long version = std::strtoul(options["version"].c_str(), &end, 0);
  if (options["version"].empty() || *end != '\0' || version > 0xFFFFFFFFul) {
    return Usage("--version needs a number");
  }
  header.firmwareVersion = static_cast<std::uint32_t>(version);
  header.description = options["description"];
  header.firmwareName = options["fw"];
  header.psrName = options["psr"];
  if (const std::string problem = dfu::HeaderProblem(header); !problem.empty()) {
    return Usage(problem);
  }
  dfu::Suffix ids;
  for (const auto& [key, field] :
       {std::pair{"vid", &ids.idVendor}, std::pair{"pid", &ids.idProduct},
        std::pair{"bcd", &ids.bcdDevice}}) {
    if (options.count(key) != 0 && !ParseId(options[key], *field)) {
      return Usage(std::string("--") + key + " needs a number from 0 to 0xffff");
    }
  }
  for (const auto& [key, value] : options) {
    if (key != "image" && key != "output" && key != "version" && key != "fw" && key != "psr" &&
        key != "description" && key != "vid" && key != "pid" && key != "bcd") {
      return Usage("unknown option --" + key);
    }
  }

  std::ifstream in(PathOf(options["image"]), std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "mkdfu: cannot read %s\n", options["image"].c_str());
    return 1;
  }
  const std::vector<std::uint8_t> body((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  const std::vector<std::uint8_t> file = dfu::BuildFile(header, body, ids);
  std::ofstream out(PathOf(options["output"]), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "mkdfu: cannot write %s\n", options["output"].c_str());
    return 1;
  }
  return 0;
}

int Info(const std::string& path) {
  dfu::FileInfo info;
  const dfu::FileFault fault = dfu::CheckFile(path, info);
  const bool suffixRead = fault == dfu::FileFault::None || fault == dfu::FileFault::Header ||
                          fault == dfu::FileFault::Crc;
  if (suffixRead) {
    std::printf("image size:  %llu bytes\n", static_cast<unsigned long long>(info.imageSize));
    std::printf("suffix:      vendor 0x%04x, product 0x%04x, device 0x%04x, DFU 0x%04x\n",
                info.suffix.idVendor, info.suffix.idProduct, info.suffix.bcdDevice,
                info.suffix.bcdDfu);
    std::printf("CRC:         0x%08x (%s)\n", info.suffix.crc,
                fault == dfu::FileFault::Crc ? "wrong" : "ok");
  }
  if (fault == dfu::FileFault::None) {
    std::printf("version:     %u\n", info.header.firmwareVersion);
    std::printf("description: %s\n", info.header.description.c_str());
    std::printf("firmware:    %s\n", info.header.firmwareName.c_str());
    std::printf("PSR:         %s\n", info.header.psrName.c_str());
    return 0;
  }
  std::fprintf(stderr, "mkdfu: %s: %s\n", path.c_str(), dfu::FileFaultText(fault));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = tools::Utf8Arguments(argc, argv);
  if (args.empty()) return Usage("a command is needed");
  if (args[0] == "--version") {
    std::printf("mkdfu %s\n", resources::kFileVersion);
    return 0;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args[0] == "create") return Create({args.begin() + 1, args.end()});
  if (args[0] == "info" && args.size() == 2) return Info(args[1]);
  return Usage("unknown command or wrong arguments");
}
