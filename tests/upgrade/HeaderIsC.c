/* The engine's interface must stay plain C, so that another engine library of the same interface
 * can stand in for ours. Compiled as C99; it only needs to build. */
#include "upgrade/DFUEngine.h"

static void DFUENGINE_CALL OnReport(uint32_t kind, const DFUEngineReport* report) {
  (void)kind;
  (void)report;
}

int Qmr7DfuHeaderIsC(void) {
  DFUEngineHandle handle = DFUEngine_Create();
  char names[DFUENGINE_NAMES_SIZE];
  DFUEngine_SetCallback(handle, OnReport);
  (void)DFUEngine_GetUSBDeviceNames(handle, names);
  DFUEngine_Destroy(handle);
  return (int)sizeof(DFUEngineReport);
}
