// Engine instances live in a table behind their handles; a handle is never reused while the
// process runs, so a stale one cannot reach a newer instance.
#include "upgrade/DFUEngine.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "upgrade/DfuEngineCore.h"

namespace {

struct EngineTable {
  std::mutex mutex;
  std::map<DFUEngineHandle, std::shared_ptr<dfu::Engine>> engines;
  DFUEngineHandle next = 1;
};

EngineTable& Table() {
  static EngineTable table;
  return table;
}

// Shared, so a call in progress keeps its engine alive while another thread destroys the handle.
std::shared_ptr<dfu::Engine> Find(DFUEngineHandle handle) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.engines.find(handle);
  return it == table.engines.end() ? nullptr : it->second;
}

}  // namespace

namespace dfu {

DFUEngineHandle RegisterEngine(std::unique_ptr<Engine> engine) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  if (table.next == 0) return 0;  // every handle has been used
  const DFUEngineHandle handle = table.next++;
  table.engines.emplace(handle, std::move(engine));
  return handle;
}

}  // namespace dfu

extern "C" DFUEngineHandle DFUENGINE_CALL DFUEngine_Create(void) {
  dfu::EngineEnvironment environment;
  environment.transports = dfu::SystemTransports({});
  return dfu::RegisterEngine(std::make_unique<dfu::Engine>(std::move(environment)));
}

extern "C" void DFUENGINE_CALL DFUEngine_Destroy(DFUEngineHandle handle) {
  auto& table = Table();
  std::shared_ptr<dfu::Engine> engine;
  {
    std::lock_guard lock(table.mutex);
    auto it = table.engines.find(handle);
    if (it == table.engines.end()) return;
    engine = std::move(it->second);
    table.engines.erase(it);
  }
  // The engine ends its thread here, outside the table's lock, unless another call still holds it.
  engine.reset();
}

extern "C" DFUEngineBool DFUENGINE_CALL
DFUEngine_IsDFUFileValid(DFUEngineHandle handle, const char* path, char* description,
                         uint32_t* version, uint32_t* usbIds, uint32_t* imageSize) {
  if (description != nullptr) description[0] = '\0';
  if (!Find(handle) || path == nullptr) return 0;
  dfu::FileInfo info;
  if (dfu::CheckFile(path, info) != dfu::FileFault::None) return 0;
  if (description != nullptr) {
    const std::size_t n = std::min(info.header.description.size(), dfu::kMaxDescription);
    std::memcpy(description, info.header.description.data(), n);
    description[n] = '\0';
  }
  if (version != nullptr) *version = info.header.firmwareVersion;
  if (usbIds != nullptr)
    *usbIds = static_cast<uint32_t>(info.suffix.idVendor) << 16 | info.suffix.idProduct;
  if (imageSize != nullptr) {
    *imageSize = static_cast<uint32_t>(std::min<std::uint64_t>(info.imageSize, UINT32_MAX));
  }
  return 1;
}

extern "C" uint32_t DFUENGINE_CALL DFUEngine_GetUSBDeviceNames(DFUEngineHandle handle,
                                                               char* names) {
  const auto engine = Find(handle);
  if (!engine || names == nullptr) return 0;
  std::size_t at = 0;
  uint32_t count = 0;
  for (const std::string& name : engine->DeviceNames()) {
    // Room for the name, its NUL and the list's closing NUL.
    if (name.empty() || at + name.size() + 2 > DFUENGINE_NAMES_SIZE) continue;
    std::memcpy(names + at, name.c_str(), name.size() + 1);
    at += name.size() + 1;
    ++count;
  }
  names[at] = '\0';
  return count;
}

extern "C" void DFUENGINE_CALL DFUEngine_SetUSBDeviceFilter(DFUEngineHandle handle,
                                                            const char* name) {
  if (const auto engine = Find(handle)) engine->SetDeviceFilter(name == nullptr ? "" : name);
}

extern "C" DFUEngineBool DFUENGINE_CALL DFUEngine_AddDeviceIds(DFUEngineHandle handle,
                                                               uint32_t runtimeIds,
                                                               uint32_t dfuIds) {
  const auto engine = Find(handle);
  if (!engine) return 0;
  engine->AddDeviceIds(
      {static_cast<std::uint16_t>(runtimeIds >> 16), static_cast<std::uint16_t>(runtimeIds),
       static_cast<std::uint16_t>(dfuIds >> 16), static_cast<std::uint16_t>(dfuIds)});
  return 1;
}

extern "C" void DFUENGINE_CALL DFUEngine_SetCallback(DFUEngineHandle handle,
                                                     DFUEngineCallback callback) {
  const auto engine = Find(handle);
  if (!engine) return;
  if (callback == nullptr) {
    engine->SetReporter(nullptr);
  } else {
    engine->SetReporter(
        [callback](uint32_t kind, const DFUEngineReport& report) { callback(kind, &report); });
  }
}

extern "C" DFUEngineBool DFUENGINE_CALL DFUEngine_CreateUSB(DFUEngineHandle handle,
                                                            const char* name) {
  const auto engine = Find(handle);
  return engine && name != nullptr && engine->Bind(name) ? 1 : 0;
}

extern "C" DFUEngineBool DFUENGINE_CALL DFUEngine_StartReconfigure(DFUEngineHandle handle,
                                                                   uint32_t upload,
                                                                   uint32_t checkFile,
                                                                   const char* path) {
  const auto engine = Find(handle);
  return engine && path != nullptr && engine->StartReconfigure(upload, checkFile, path) ? 1 : 0;
}

extern "C" DFUEngineBool DFUENGINE_CALL DFUEngine_StartDownload(DFUEngineHandle handle,
                                                                const char* path) {
  const auto engine = Find(handle);
  return engine && path != nullptr && engine->StartDownload(path) ? 1 : 0;
}

extern "C" DFUEngineBool DFUENGINE_CALL DFUEngine_StartManifest(DFUEngineHandle handle) {
  const auto engine = Find(handle);
  return engine && engine->StartManifest() ? 1 : 0;
}
