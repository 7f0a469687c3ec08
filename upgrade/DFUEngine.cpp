// Engine instances live in a table behind their handles; a handle is never reused while the
// process runs, so a stale one cannot reach a newer instance.
#include "upgrade/DFUEngine.h"

#include <map>
#include <memory>
#include <mutex>

namespace {

class Engine {};

struct EngineTable {
  std::mutex mutex;
  std::map<DFUEngineHandle, std::unique_ptr<Engine>> engines;
  DFUEngineHandle next = 1;
};

EngineTable& Table() {
  static EngineTable table;
  return table;
}

}  // namespace

extern "C" DFUEngineHandle DFUEngine_Create(void) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  if (table.next == 0) return 0;  // every handle has been used
  const DFUEngineHandle handle = table.next++;
  table.engines.emplace(handle, std::make_unique<Engine>());
  return handle;
}

extern "C" void DFUEngine_Destroy(DFUEngineHandle handle) {
  auto& table = Table();
  std::unique_ptr<Engine> engine;
  {
    std::lock_guard lock(table.mutex);
    auto it = table.engines.find(handle);
    if (it == table.engines.end()) return;
    engine = std::move(it->second);
    table.engines.erase(it);
  }
}
