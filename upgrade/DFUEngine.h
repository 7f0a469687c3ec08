/* The DFU engine's interface: C linkage, 32-bit values, so that a build can also bind a vendor's
 * engine library of the same interface in place of ours.
 *
 * A handle is an opaque non-zero 32-bit value from DFUEngine_Create, passed first to every call.
 * Paths and names are NUL-terminated 8-bit strings (UTF-8 here). Booleans are bytes, non-zero true.
 *
 * Operations: DFUEngine_CreateUSB binds the engine to a device named by
 * DFUEngine_GetUSBDeviceNames. StartReconfigure brings it into DFU mode and to dfuIDLE,
 * StartDownload sends the firmware and waits out its manifestation, StartManifest returns the
 * device to run-time mode. A start function returns false when the operation cannot start (unknown
 * handle, no device bound, an operation still running); otherwise the operation runs on the
 * engine's thread, which calls the callback with progress (kind 1) and ends every started operation
 * with exactly one kind-2 report. That report may come before the start function returns. A
 * kind-3 report asks the user to unplug the device and plug it in again: the system refused the
 * reset the operation needed, and the operation waits for the device to come back; the next report
 * of the operation ends the request. The callback must not block; it may call the engine.
 * DFUEngine_Destroy ends a running operation (its report says "aborted") and returns once the
 * engine's thread is gone, so no report comes after it.
 */
#ifndef QMR7_UPGRADE_DFUENGINE_H
#define QMR7_UPGRADE_DFUENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define DFUENGINE_CALL __stdcall
#else
#define DFUENGINE_CALL
#endif

typedef uint32_t DFUEngineHandle;
typedef uint8_t DFUEngineBool;

/* Report kinds. */
#define DFUENGINE_REPORT_PROGRESS 1u
#define DFUENGINE_REPORT_RESULT 2u
#define DFUENGINE_REPORT_REPLUG 3u

/* The report record: little-endian 32-bit fields. */
typedef struct DFUEngineReport {
  uint32_t size;         /* offset 0: of this record, 28 */
  uint32_t percent;      /* offset 4: 0 to 100, of the running operation (kind 1) */
  uint32_t operation;    /* offset 8: operation code (kinds 1 and 2) */
  uint32_t bytesDone;    /* offset 12: image bytes sent so far (downloads) */
  uint32_t bytesTotal;   /* offset 16: image bytes in all (downloads) */
  uint32_t result;       /* offset 20: result code, 0 success (kind 2) */
  uint32_t subOperation; /* offset 24: sub-operation code (kind 2) */
} DFUEngineReport;

typedef void(DFUENGINE_CALL* DFUEngineCallback)(uint32_t kind, const DFUEngineReport* report);

/* Creates an engine instance; 0 only when none could be made. */
DFUEngineHandle DFUENGINE_CALL DFUEngine_Create(void);

/* Ends an instance made by DFUEngine_Create. Unknown handles are ignored. */
void DFUENGINE_CALL DFUEngine_Destroy(DFUEngineHandle handle);

/* Whether `path` is a firmware file this engine can download. When true, `description` (256
 * bytes) receives the file's description, at most 255 bytes and a NUL; when false it receives an
 * empty text. The out values, each optional: the firmware version, the file's USB ids
 * (vendor << 16 | product) and the image size in bytes. */
DFUEngineBool DFUENGINE_CALL DFUEngine_IsDFUFileValid(DFUEngineHandle handle, const char* path,
                                                      char* description, uint32_t* version,
                                                      uint32_t* usbIds, uint32_t* imageSize);

/* Fills `names` (6144 bytes) with the names of the attached DFU-capable devices, each ended by a
 * NUL, the list ended by an empty name; returns how many there are (0: none). Names that do not
 * fit are left out. */
uint32_t DFUENGINE_CALL DFUEngine_GetUSBDeviceNames(DFUEngineHandle handle, char* names);

#define DFUENGINE_NAMES_SIZE 6144
#define DFUENGINE_DESCRIPTION_SIZE 256

/* An addition of this engine, not offered by every engine of this interface: admits only the
 * device `name` to DFUEngine_GetUSBDeviceNames and DFUEngine_CreateUSB, so that a device found
 * by the USB walk is the only one the engine lists, binds and sends requests to. Null or empty
 * admits every device again. */
void DFUENGINE_CALL DFUEngine_SetUSBDeviceFilter(DFUEngineHandle handle, const char* name);

/* An addition of this engine: the ids of a headset the engine's own table does not know, each
 * vendor << 16 | product, in run-time and in DFU mode. A file naming either is taken for the
 * device showing either; a device may change its ids between the two modes. False when the handle
 * is unknown. */
DFUEngineBool DFUENGINE_CALL DFUEngine_AddDeviceIds(DFUEngineHandle handle, uint32_t runtimeIds,
                                                    uint32_t dfuIds);

/* The function that receives the reports; null stops them. */
void DFUENGINE_CALL DFUEngine_SetCallback(DFUEngineHandle handle, DFUEngineCallback callback);

/* Binds the engine to the device `name`; true when it is attached and DFU-capable. Binding again,
 * to the same device or another, is allowed whenever no operation runs. */
DFUEngineBool DFUENGINE_CALL DFUEngine_CreateUSB(DFUEngineHandle handle, const char* name);

/* Brings the bound device into DFU mode. `upload` must be 0 (reading the old firmware back is not
 * offered). With `checkFile` non-zero the file at `path` is checked, including its USB ids against
 * the device, before the device leaves its running firmware. */
DFUEngineBool DFUENGINE_CALL DFUEngine_StartReconfigure(DFUEngineHandle handle, uint32_t upload,
                                                        uint32_t checkFile, const char* path);

/* Sends the image of the file at `path` to the device in DFU mode and waits out manifestation. */
DFUEngineBool DFUENGINE_CALL DFUEngine_StartDownload(DFUEngineHandle handle, const char* path);

/* Returns the device to run-time mode and waits until it is back. */
DFUEngineBool DFUENGINE_CALL DFUEngine_StartManifest(DFUEngineHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* QMR7_UPGRADE_DFUENGINE_H */
