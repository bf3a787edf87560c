#pragma once

/* A test camera and microphone for machines without either: a GStreamer
 * device provider whose cameras are videotestsrc and whose microphones are
 * audiotestsrc, both live. Tests register it in their own process; people
 * load the same provider as a plugin through GST_PLUGIN_PATH. */

#include <gst/gst.h>

G_BEGIN_DECLS

typedef enum {
  /* Camera: going to PAUSED fails the way a busy device does.
   * Microphone: cannot be opened at all. */
  MIRABO_TEST_DEVICE_FAILS_TO_START = 1 << 0,
  /* Camera: no colour balance and a single fixed format. */
  MIRABO_TEST_DEVICE_NO_CONTROLS = 1 << 1,
  /* Camera, "Test Webcam": JPEG 640x480, 1280x720 and 1920x1080 at 30 fps;
   * YUY2 640x480 at 30, 1280x720 at 10 and 1920x1080 at 5 fps. */
  MIRABO_TEST_DEVICE_TYPICAL_WEBCAM = 1 << 2,
  /* Camera, "Test MJPEG Webcam": JPEG 640x480 and 1280x720 at 30 fps only. */
  MIRABO_TEST_DEVICE_MJPEG_WEBCAM = 1 << 3,
  /* Microphone: sends silence instead of its tone. */
  MIRABO_TEST_DEVICE_SILENT = 1 << 4,
  /* Microphone: marked as the sound server's default source ("is-default"). */
  MIRABO_TEST_DEVICE_DEFAULT = 1 << 5,
  /* Microphone: a sink's monitor, "Monitor of Test Speakers" (device.class
   * "monitor"). */
  MIRABO_TEST_DEVICE_MONITOR = 1 << 6,
} MiraboTestDeviceFlags;

/* Each JPEG picture of a webcam carries this comment segment: pictures
 * stored as the camera sent them still have it, pictures encoded again
 * downstream do not. */
#define MIRABO_TEST_WEBCAM_JPEG_COMMENT "Mirabo test webcam picture"

typedef struct {
  guint flags;
  /* Camera: when above 0, stops with an error after that many frames. */
  gint fail_after_frames;
} MiraboTestDeviceSpec;

/* Registers the provider in this process (once) and makes its next probe
 * offer exactly these devices: "Test Camera", "Test Camera 2", ... and
 * "Test Microphone", "Test Microphone 2", ... (a device monitor that is
 * running sees the old ones unplugged and these plugged in). The cameras show
 * colour bars, then red, blue and green pictures. When rank_out_others is TRUE,
 * every other device provider is ranked out so that real devices cannot
 * appear. gst_init must have been called. */
gboolean mirabo_test_devices_set (const MiraboTestDeviceSpec * cameras,
    gint n_cameras, const MiraboTestDeviceSpec * microphones, gint n_microphones,
    gboolean rank_out_others);

/* While the program runs: plugs in one more camera, numbered one above the
 * highest there is ("Test Camera 4" beside "Test Camera 3"), and returns its
 * number (0 if the devices were never set). A device monitor that is running
 * announces it. */
gint mirabo_test_devices_plug_camera (const MiraboTestDeviceSpec * setup);

/* Unplugs the camera with that number; the others keep their names. FALSE
 * when there is none. */
gboolean mirabo_test_devices_unplug_camera (gint number);

/* For the loadable plugin: registers the provider with the given plugin and
 * takes the device counts from MIRABO_TEST_CAMERAS and
 * MIRABO_TEST_MICROPHONES (default one of each); MIRABO_TEST_WEBCAMS adds
 * webcams after the cameras ("typical", "mjpeg-only", comma-separated). */
gboolean mirabo_test_devices_plugin_init (GstPlugin * plugin);

G_END_DECLS

#ifdef __cplusplus
#include <vector>

namespace testcamera {

struct Faults {
    int cameraFailingToStart = 0;    // 1-based camera number, 0 for none
    int cameraFailingAfter = 0;      // 1-based camera number, 0 for none
    int failAfterFrames = 0;
    int cameraWithoutControls = 0;   // 1-based camera number, 0 for none
    bool microphoneFailsToOpen = false;
    bool microphoneSilent = false;
};

// Test devices only, real ones ranked out. gst_init must have been called.
inline bool registerTestDevices(int cameras, int microphones, const Faults &faults = {})
{
    std::vector<MiraboTestDeviceSpec> cams(cameras > 0 ? cameras : 0);
    for (int i = 0; i < int(cams.size()); ++i) {
        const int number = i + 1;
        cams[i] = MiraboTestDeviceSpec{0, 0};
        if (number == faults.cameraFailingToStart)
            cams[i].flags |= MIRABO_TEST_DEVICE_FAILS_TO_START;
        if (number == faults.cameraWithoutControls)
            cams[i].flags |= MIRABO_TEST_DEVICE_NO_CONTROLS;
        if (number == faults.cameraFailingAfter)
            cams[i].fail_after_frames = faults.failAfterFrames;
    }
    std::vector<MiraboTestDeviceSpec> mics(microphones > 0 ? microphones : 0);
    for (auto &m : mics)
        m = MiraboTestDeviceSpec{faults.microphoneFailsToOpen ? guint(MIRABO_TEST_DEVICE_FAILS_TO_START) : 0u, 0};
    if (faults.microphoneSilent)
        for (auto &m : mics)
            m.flags |= MIRABO_TEST_DEVICE_SILENT;
    return mirabo_test_devices_set(cams.data(), int(cams.size()), mics.data(), int(mics.size()),
                                   TRUE);
}

// Cameras as above, and one microphone of each of the given flags.
inline bool registerTestMicrophones(int cameras, const std::vector<guint> &microphones)
{
    const std::vector<MiraboTestDeviceSpec> cams(cameras > 0 ? cameras : 0,
                                                 MiraboTestDeviceSpec{0, 0});
    std::vector<MiraboTestDeviceSpec> mics;
    for (guint flags : microphones)
        mics.push_back(MiraboTestDeviceSpec{flags, 0});
    return mirabo_test_devices_set(cams.data(), int(cams.size()), mics.data(), int(mics.size()),
                                   TRUE);
}

// One webcam of the given personality (MIRABO_TEST_DEVICE_TYPICAL_WEBCAM or
// MIRABO_TEST_DEVICE_MJPEG_WEBCAM) and the microphones; real devices ranked out.
inline bool registerTestWebcam(guint personality, int microphones)
{
    const MiraboTestDeviceSpec webcam{personality, 0};
    std::vector<MiraboTestDeviceSpec> mics(microphones > 0 ? microphones : 0, MiraboTestDeviceSpec{0, 0});
    return mirabo_test_devices_set(&webcam, 1, mics.data(), int(mics.size()), TRUE);
}

} // namespace testcamera
#endif
