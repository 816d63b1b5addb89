// XBMC.h: the HID access library's exports, as Tavrelmond calls them.
//
// The library is loaded by name ("XBMC.dll") and called through these seven functions. They use the
// platform's standard calling convention and undecorated export names on both 32-bit and 64-bit Windows.
// Booleans are 16-bit: true is -1, false is 0.
//
// The library posts XBMC_NOTIFY_MESSAGE to the window given to Connect; wParam says what happened and lParam
// carries the device handle (0 for a change). Handles are small non-zero integers owned by the library.
#ifndef XBMC_H
#define XBMC_H

#include <stdint.h>

#if defined(_WIN32)
#define XBMC_CALL __stdcall
#else
#define XBMC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// 16-bit booleans of the exports.
#define XBMC_TRUE ((int16_t)-1)
#define XBMC_FALSE ((int16_t)0)

// The notification message (WM_APP + 200) and its wParam codes.
#define XBMC_NOTIFY_MESSAGE 0x80C8u
#define XBMC_NOTIFY_ATTACH 1u // lParam: handle of the device that arrived
#define XBMC_NOTIFY_REMOVE 2u // lParam: handle of the device that left
#define XBMC_NOTIFY_CHANGE 3u // lParam: 0; the set of attached devices changed
#define XBMC_NOTIFY_READ 4u   // lParam: handle of a device with a report to read (its read notify is on)

// Read never writes more than this many bytes: the report ID, then up to 16 report bytes.
#define XBMC_READ_BUFFER_SIZE 17

// Registers the window that receives the notifications and starts watching HID devices. Devices that are
// already present are announced with an attach each, followed by one change. Fails for window 0.
int16_t XBMC_CALL Connect(int32_t hwnd);
// Stops posting, stops every library thread and closes every device. False when not connected.
int16_t XBMC_CALL Disconnect(void);
// The handle of an attached device with both IDs, else 0.
int32_t XBMC_CALL GetHandle(int32_t vendorId, int32_t productId);
// The device's USB vendor and product IDs. They stay available for a removed device until its handle is
// given to another device, so a removal notification can still be matched. 0 for a handle never used.
int32_t XBMC_CALL GetVendorID(int32_t handle);
int32_t XBMC_CALL GetProductID(int32_t handle);
// Turns report-ready notifications for an attached device on (non-zero) or off. False for an unknown handle.
int16_t XBMC_CALL SetReadNotify(int32_t handle, int16_t enable);
// Pops the device's oldest queued report into buffer17, report ID first, at most 17 bytes. False (and nothing
// written) when the handle is unknown or no report is queued.
int16_t XBMC_CALL Read(int32_t handle, uint8_t* buffer17);

#ifdef __cplusplus
}
#endif

#endif
