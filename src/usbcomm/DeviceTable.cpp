// Which printers this library drives. A deployment changes the identifiers
// here and nowhere else: the native driver's device interface class and the
// USB vendor/product identifier texts looked for in interface paths.
//
// The identifiers below are placeholders of this library, not those of any
// manufacturer.
#include "usbcomm/UsbComm.h"

// Device interface class registered by the vendor's native USB driver.
// {6E3B1A52-94D7-4C2E-B5A8-3F71D0C9E846}
extern const GUID GUID_DEVINTERFACE_NATIVE_PRINTER = {
    0x6E3B1A52, 0x94D7, 0x4C2E, {0xB5, 0xA8, 0x3F, 0x71, 0xD0, 0xC9, 0xE8, 0x46}};

// The system's USB printer class interface.
// {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}
extern const GUID GUID_DEVINTERFACE_USBPRINT = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

// Matched case-sensitively, in this order, as substrings of the interface
// path; the first hit wins. Paths spell the identifiers in more than one
// casing, so a model may be listed several times: all lower case, all upper
// case, or lower-case letters with upper-case hex digits. Ends with a null
// entry.
extern const char *const g_apszDevicePatterns[] = {
    // First vendor, three models.
    "vid_fa1c&pid_0a01",
    "vid_fa1c&pid_0a02",
    "vid_fa1c&pid_0a03",
    "VID_FA1C&PID_0A01",
    "VID_FA1C&PID_0A02",
    "VID_FA1C&PID_0A03",
    // Second vendor.
    "VID_FB2D&PID_1B10",
    "vid_fb2d&pid_1b10",
    "VID_FB2D&PID_1B11",
    "vid_fb2d&pid_1b11",
    "VID_FB2D&PID_1B12",
    "vid_fb2d&pid_1b12",
    // First vendor, later models.
    "VID_FA1C&PID_0A1D",
    "vid_fa1c&pid_0a1d",
    "VID_FA1C&PID_0A1E",
    "vid_fa1c&pid_0a1e",
    "VID_FA1C&PID_0A1F",
    "vid_fa1c&pid_0a1f",
    // Third vendor.
    "VID_FC3E&PID_2C01",
    "vid_fc3e&pid_2c01",
    // Listed twice; harmless, the scan stops at the first hit.
    "vid_fa1c&pid_0a1f",
    // Fourth vendor.
    "vid_fd4b&pid_3d0a",
    "vid_FD4B&pid_3D0A",
    "vid_fd4b&pid_3d0b",
    "vid_FD4B&pid_3D0B",
    "vid_fd4b&pid_3d0c",
    "vid_FD4B&pid_3D0C",
    nullptr,
};
