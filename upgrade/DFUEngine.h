/* The DFU engine's interface: C linkage, 32-bit values, so that a build can also bind a vendor's
 * engine library of the same interface in place of ours.
 *
 * A handle is an opaque non-zero 32-bit value from DFUEngine_Create, passed first to every call.
 * Paths and names are NUL-terminated 8-bit strings (UTF-8 here). */
#ifndef QMR7_UPGRADE_DFUENGINE_H
#define QMR7_UPGRADE_DFUENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DFUEngineHandle;

/* Creates an engine instance; 0 only when none could be made. */
DFUEngineHandle DFUEngine_Create(void);

/* Ends an instance made by DFUEngine_Create. Unknown handles are ignored. */
void DFUEngine_Destroy(DFUEngineHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* QMR7_UPGRADE_DFUENGINE_H */
