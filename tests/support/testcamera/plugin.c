/* The test devices as a plugin that GST_PLUGIN_PATH can point at. */
#include "TestDevices.h"

#define PACKAGE "mirabo"
#define VERSION "1.0"

GST_PLUGIN_DEFINE (GST_VERSION_MAJOR, GST_VERSION_MINOR, mirabotestdevices,
    "Test camera and microphone (videotestsrc, audiotestsrc)",
    mirabo_test_devices_plugin_init, VERSION, "LGPL", "Mirabo",
    "https://mirabo.example.org/")
