/* The test camera and microphone device provider. */
#include "TestDevices.h"

#include <stdlib.h>
#include <string.h>

#define PROVIDER_NAME "mirabotestdevices"

/* The camera offers a few sizes and rates so that a format dialog has a
 * choice; the plain camera offers one. */
static const gchar camera_caps[] =
    "video/x-raw, format=(string){ I420, YUY2 }, width=(int)640, height=(int)480, "
    "framerate=(fraction){ 30/1, 25/1, 15/1 }, pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string){ I420, YUY2 }, width=(int)320, height=(int)240, "
    "framerate=(fraction){ 30/1, 25/1, 15/1 }, pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string){ I420, YUY2 }, width=(int)1280, height=(int)720, "
    "framerate=(fraction){ 25/1, 10/1 }, pixel-aspect-ratio=(fraction)1/1";
static const gchar plain_camera_caps[] =
    "video/x-raw, format=(string)I420, width=(int)640, height=(int)480, "
    "framerate=(fraction)25/1, pixel-aspect-ratio=(fraction)1/1";
/* Webcam-like personalities: what USB webcams commonly offer, JPEG at every
 * size and raw YUY2 only slowly at the large ones. */
static const gchar typical_webcam_caps[] =
    "image/jpeg, width=(int)640, height=(int)480, framerate=(fraction)30/1, "
    "pixel-aspect-ratio=(fraction)1/1; "
    "image/jpeg, width=(int)1280, height=(int)720, framerate=(fraction)30/1, "
    "pixel-aspect-ratio=(fraction)1/1; "
    "image/jpeg, width=(int)1920, height=(int)1080, framerate=(fraction)30/1, "
    "pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
    "framerate=(fraction)30/1, pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string)YUY2, width=(int)1280, height=(int)720, "
    "framerate=(fraction)10/1, pixel-aspect-ratio=(fraction)1/1; "
    "video/x-raw, format=(string)YUY2, width=(int)1920, height=(int)1080, "
    "framerate=(fraction)5/1, pixel-aspect-ratio=(fraction)1/1";
static const gchar mjpeg_webcam_caps[] =
    "image/jpeg, width=(int)640, height=(int)480, framerate=(fraction)30/1, "
    "pixel-aspect-ratio=(fraction)1/1; "
    "image/jpeg, width=(int)1280, height=(int)720, framerate=(fraction)30/1, "
    "pixel-aspect-ratio=(fraction)1/1";
static const gchar microphone_caps[] =
    "audio/x-raw, format=(string)S16LE, layout=(string)interleaved, "
    "rate=(int){ 44100, 48000 }, channels=(int){ 1, 2 }";

/* ---- The camera's element ------------------------------------------------ */

typedef struct {
  GstBin parent;
  gchar *label;
  guint flags;
  gint fail_after_frames;
  gint frames;                  /* atomic */
  /* A webcam personality's offer, or NULL; its last element is chosen once
   * the format asked for downstream is known. */
  const gchar *webcam_caps;
  GstElement *formats;
  GstElement *picture_end;
  GstElement *out;
  gboolean tail_made;
} MiraboTestCameraSrc;
typedef struct {
  GstBinClass parent_class;
} MiraboTestCameraSrcClass;

GType mirabo_test_camera_src_get_type (void);
G_DEFINE_TYPE (MiraboTestCameraSrc, mirabo_test_camera_src, GST_TYPE_BIN);

static void
mirabo_test_camera_src_finalize (GObject * object)
{
  MiraboTestCameraSrc *self = (MiraboTestCameraSrc *) object;
  g_free (self->label);
  G_OBJECT_CLASS (mirabo_test_camera_src_parent_class)->finalize (object);
}

static gboolean make_webcam_tail (MiraboTestCameraSrc * self);

static GstStateChangeReturn
mirabo_test_camera_src_change_state (GstElement * element,
    GstStateChange transition)
{
  MiraboTestCameraSrc *self = (MiraboTestCameraSrc *) element;

  if (transition == GST_STATE_CHANGE_NULL_TO_READY && self->webcam_caps
      && !self->tail_made && !make_webcam_tail (self)) {
    GST_ELEMENT_ERROR (self, CORE, NEGOTIATION,
        ("%s could not set up its pictures.", self->label), (NULL));
    return GST_STATE_CHANGE_FAILURE;
  }
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    if (self->flags & MIRABO_TEST_DEVICE_FAILS_TO_START) {
      GST_ELEMENT_ERROR (self, RESOURCE, BUSY,
          ("%s is in use by another program.", self->label), (NULL));
      return GST_STATE_CHANGE_FAILURE;
    }
    g_atomic_int_set (&self->frames, 0);
  }
  return GST_ELEMENT_CLASS (mirabo_test_camera_src_parent_class)->change_state
      (element, transition);
}

static void
mirabo_test_camera_src_class_init (MiraboTestCameraSrcClass * klass)
{
  G_OBJECT_CLASS (klass)->finalize = mirabo_test_camera_src_finalize;
  GST_ELEMENT_CLASS (klass)->change_state = mirabo_test_camera_src_change_state;
}

static void
mirabo_test_camera_src_init (MiraboTestCameraSrc * self)
{
  (void) self;
}

/* A webcam that the computer does not keep up with loses pictures (its
 * driver holds about four) rather than falling behind the clock as a test
 * source would. */
static GstPadProbeReturn
drop_late (GstPad * pad, GstPadProbeInfo * info, gpointer user_data)
{
  GstElement *self = user_data;
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER (info);
  GstClock *clock = gst_element_get_clock (self);
  GstClockTime now;
  gboolean late;
  (void) pad;

  if (!clock)
    return GST_PAD_PROBE_OK;
  now = gst_clock_get_time (clock) - gst_element_get_base_time (self);
  gst_object_unref (clock);
  late = GST_BUFFER_PTS_IS_VALID (buffer) && GST_BUFFER_DURATION_IS_VALID (buffer)
      && now > GST_BUFFER_PTS (buffer) + 4 * GST_BUFFER_DURATION (buffer);
  return late ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

static const gchar *
webcam_caps_for (guint flags)
{
  if (flags & MIRABO_TEST_DEVICE_TYPICAL_WEBCAM)
    return typical_webcam_caps;
  if (flags & MIRABO_TEST_DEVICE_MJPEG_WEBCAM)
    return mjpeg_webcam_caps;
  return NULL;
}

/* A camera that is unplugged stops with an error; the source then ends its
 * stream the way a real one does. */
static GstPadProbeReturn
count_frames (GstPad * pad, GstPadProbeInfo * info, gpointer user_data)
{
  MiraboTestCameraSrc *self = user_data;
  (void) pad;

  if (g_atomic_int_add (&self->frames, 1) < self->fail_after_frames)
    return GST_PAD_PROBE_OK;

  GST_ELEMENT_ERROR (self, RESOURCE, READ,
      ("%s stopped sending pictures.", self->label),
      ("failed after %d frames as asked", self->fail_after_frames));
  gst_buffer_unref (GST_PAD_PROBE_INFO_BUFFER (info));
  GST_PAD_PROBE_INFO_DATA (info) = NULL;
  GST_PAD_PROBE_INFO_FLOW_RETURN (info) = GST_FLOW_ERROR;
  return GST_PAD_PROBE_HANDLED;
}

/* Each camera shows its own picture, so a test can tell which one it sees:
 * colour bars, then red, blue and green. */
static gint
camera_pattern (gint number)
{
  static const gint patterns[] = { 0 /* smpte */ , 4 /* red */ , 6 /* blue */ ,
    5 /* green */
  };
  return patterns[(number - 1) % G_N_ELEMENTS (patterns)];
}

/* A real webcam's JPEG pictures carry markers of their own; this one lets a
 * test tell the camera's pictures from pictures encoded again downstream. */
static const gchar webcam_jpeg_comment[] = MIRABO_TEST_WEBCAM_JPEG_COMMENT;

static GstPadProbeReturn
mark_jpeg (GstPad * pad, GstPadProbeInfo * info, gpointer user_data)
{
  GstBuffer *in = GST_PAD_PROBE_INFO_BUFFER (info);
  const gsize text = sizeof webcam_jpeg_comment - 1;
  const gsize segment = 4 + text;       /* marker, length, text */
  GstBuffer *out;
  GstMapInfo from, to;
  (void) pad;
  (void) user_data;

  if (!gst_buffer_map (in, &from, GST_MAP_READ))
    return GST_PAD_PROBE_OK;
  if (from.size < 2 || from.data[0] != 0xFF || from.data[1] != 0xD8) {
    gst_buffer_unmap (in, &from);
    return GST_PAD_PROBE_OK;
  }
  out = gst_buffer_new_allocate (NULL, from.size + segment, NULL);
  gst_buffer_map (out, &to, GST_MAP_WRITE);
  to.data[0] = 0xFF;
  to.data[1] = 0xD8;
  to.data[2] = 0xFF;
  to.data[3] = 0xFE;
  to.data[4] = (guint8) ((text + 2) >> 8);
  to.data[5] = (guint8) ((text + 2) & 0xFF);
  memcpy (to.data + 6, webcam_jpeg_comment, text);
  memcpy (to.data + 2 + segment, from.data + 2, from.size - 2);
  gst_buffer_unmap (out, &to);
  gst_buffer_unmap (in, &from);
  gst_buffer_copy_into (out, in, GST_BUFFER_COPY_METADATA, 0, -1);
  gst_buffer_unref (in);
  GST_PAD_PROBE_INFO_DATA (info) = out;
  return GST_PAD_PROBE_OK;
}

/* The raw pictures videotestsrc makes for one of the webcam's JPEG formats. */
static GstCaps *
raw_for_jpeg (GstCaps * jpeg)
{
  GstCaps *raw = gst_caps_new_empty ();
  guint i;

  for (i = 0; i < gst_caps_get_size (jpeg); ++i) {
    GstStructure *s = gst_structure_copy (gst_caps_get_structure (jpeg, i));
    gst_structure_set_name (s, "video/x-raw");
    gst_structure_set (s, "format", G_TYPE_STRING, "I420", NULL);
    gst_caps_append_structure (raw, s);
  }
  return raw;
}

/* Like a webcam, the element sends JPEG or raw pictures, whichever the
 * pipeline it is linked into asks for: the picture is encoded here, as a
 * webcam's hardware does. */
static gboolean
make_webcam_tail (MiraboTestCameraSrc * self)
{
  GstCaps *offer = gst_caps_from_string (self->webcam_caps);
  GstPad *src = gst_element_get_static_pad (GST_ELEMENT (self), "src");
  GstCaps *wanted = gst_pad_peer_query_caps (src, offer);
  GstCaps *chosen = gst_caps_new_empty ();
  gboolean jpeg = FALSE;
  gboolean ok;
  guint i;

  if (gst_caps_is_empty (wanted)) {
    /* Not linked: the webcam's first format. */
    gst_caps_unref (wanted);
    wanted = gst_caps_copy_nth (offer, 0);
  }
  jpeg = gst_structure_has_name (gst_caps_get_structure (wanted, 0),
      "image/jpeg");
  for (i = 0; i < gst_caps_get_size (offer); ++i) {
    const GstStructure *s = gst_caps_get_structure (offer, i);
    if (gst_structure_has_name (s, jpeg ? "image/jpeg" : "video/x-raw"))
      gst_caps_append_structure (chosen, gst_structure_copy (s));
  }
  if (jpeg) {
    GstCaps *raw = raw_for_jpeg (chosen);
    GstElement *encoder = gst_element_factory_make ("jpegenc", "encoder");
    GstPad *pad;

    g_object_set (self->formats, "caps", raw, NULL);
    gst_caps_unref (raw);
    ok = encoder != NULL;
    if (ok) {
      pad = gst_element_get_static_pad (encoder, "src");
      gst_pad_add_probe (pad, GST_PAD_PROBE_TYPE_BUFFER, mark_jpeg, NULL,
          NULL);
      gst_object_unref (pad);
      gst_bin_add (GST_BIN (self), encoder);
      ok = gst_element_link_many (self->picture_end, encoder, self->out, NULL);
    }
  } else {
    g_object_set (self->formats, "caps", chosen, NULL);
    ok = gst_element_link (self->picture_end, self->out);
  }
  self->tail_made = ok;
  gst_caps_unref (chosen);
  gst_caps_unref (wanted);
  gst_caps_unref (offer);
  gst_object_unref (src);
  return ok;
}

static GstElement *
make_camera (const gchar * name, const gchar * label, gint number,
    guint flags, gint fail_after_frames)
{
  MiraboTestCameraSrc *self =
      g_object_new (mirabo_test_camera_src_get_type (), "name", name, NULL);
  const gchar *webcam = webcam_caps_for (flags);
  GstElement *src =
      gst_element_factory_make ("videotestsrc", webcam ? "pattern" : "picture");
  GstElement *filter = gst_element_factory_make ("capsfilter", "formats");
  GstElement *last = filter;
  GstElement *counted = src;
  GstCaps *caps;
  GstPad *pad;

  self->label = g_strdup (label);
  self->flags = flags;
  self->fail_after_frames = fail_after_frames;

  if (!src || !filter) {
    g_clear_object (&src);
    g_clear_object (&filter);
    gst_object_unref (self);
    return NULL;
  }
  g_object_set (src, "is-live", TRUE, "pattern", camera_pattern (number), NULL);
  self->webcam_caps = webcam;
  if (!self->webcam_caps) {
    caps = gst_caps_from_string ((flags & MIRABO_TEST_DEVICE_NO_CONTROLS)
        ? plain_camera_caps : camera_caps);
    g_object_set (filter, "caps", caps, NULL);
    gst_caps_unref (caps);
  }
  gst_bin_add_many (GST_BIN (self), src, filter, NULL);
  gst_element_link (src, filter);

  if (self->webcam_caps) {
    /* The pattern is drawn once and repeated, and the program's side runs on
     * a thread of its own, so that what the picture costs to make stays
     * small and apart from what the program does with it. */
    GstElement *picture = gst_element_factory_make ("imagefreeze", "picture");
    GstElement *balance = gst_element_factory_make ("videobalance", "controls");
    GstElement *out = gst_element_factory_make ("queue", "camera-out");
    if (!picture || !balance || !out) {
      g_clear_object (&picture);
      g_clear_object (&balance);
      g_clear_object (&out);
      gst_object_unref (self);
      return NULL;
    }
    g_object_set (src, "is-live", FALSE, "num-buffers", 1, NULL);
    g_object_set (picture, "is-live", TRUE, NULL);
    g_object_set (out, "leaky", 2, "max-size-buffers", 2, "max-size-bytes", 0,
        "max-size-time", (guint64) 0, NULL);
    gst_bin_add_many (GST_BIN (self), picture, balance, out, NULL);
    gst_element_link_many (filter, picture, balance, NULL);
    pad = gst_element_get_static_pad (picture, "src");
    gst_pad_add_probe (pad, GST_PAD_PROBE_TYPE_BUFFER, drop_late, self, NULL);
    gst_object_unref (pad);
    counted = picture;
    self->formats = filter;
    self->picture_end = balance;
    self->out = out;
    last = out;
  } else if (!(flags & MIRABO_TEST_DEVICE_NO_CONTROLS)) {
    GstElement *balance = gst_element_factory_make ("videobalance", "controls");
    if (balance) {
      gst_bin_add (GST_BIN (self), balance);
      gst_element_link (filter, balance);
      last = balance;
    }
  }

  if (fail_after_frames > 0) {
    pad = gst_element_get_static_pad (counted, "src");
    gst_pad_add_probe (pad, GST_PAD_PROBE_TYPE_BUFFER, count_frames, self,
        NULL);
    gst_object_unref (pad);
  }

  pad = gst_element_get_static_pad (last, "src");
  gst_element_add_pad (GST_ELEMENT (self), gst_ghost_pad_new ("src", pad));
  gst_object_unref (pad);
  return GST_ELEMENT (self);
}

/* ---- The microphone's element -------------------------------------------- */

typedef struct {
  GstBin parent;
  gchar *label;
  guint flags;
} MiraboTestMicrophoneSrc;
typedef struct {
  GstBinClass parent_class;
} MiraboTestMicrophoneSrcClass;

GType mirabo_test_microphone_src_get_type (void);
G_DEFINE_TYPE (MiraboTestMicrophoneSrc, mirabo_test_microphone_src,
    GST_TYPE_BIN);

static void
mirabo_test_microphone_src_finalize (GObject * object)
{
  MiraboTestMicrophoneSrc *self = (MiraboTestMicrophoneSrc *) object;
  g_free (self->label);
  G_OBJECT_CLASS (mirabo_test_microphone_src_parent_class)->finalize (object);
}

static GstStateChangeReturn
mirabo_test_microphone_src_change_state (GstElement * element,
    GstStateChange transition)
{
  MiraboTestMicrophoneSrc *self = (MiraboTestMicrophoneSrc *) element;

  if (transition == GST_STATE_CHANGE_NULL_TO_READY
      && (self->flags & MIRABO_TEST_DEVICE_FAILS_TO_START)) {
    GST_ELEMENT_ERROR (self, RESOURCE, OPEN_READ,
        ("Could not open %s.", self->label), (NULL));
    return GST_STATE_CHANGE_FAILURE;
  }
  return GST_ELEMENT_CLASS (mirabo_test_microphone_src_parent_class)->
      change_state (element, transition);
}

static void
mirabo_test_microphone_src_class_init (MiraboTestMicrophoneSrcClass * klass)
{
  G_OBJECT_CLASS (klass)->finalize = mirabo_test_microphone_src_finalize;
  GST_ELEMENT_CLASS (klass)->change_state =
      mirabo_test_microphone_src_change_state;
}

static void
mirabo_test_microphone_src_init (MiraboTestMicrophoneSrc * self)
{
  (void) self;
}

static GstElement *
make_microphone (const gchar * name, const gchar * label, guint flags)
{
  MiraboTestMicrophoneSrc *self =
      g_object_new (mirabo_test_microphone_src_get_type (), "name", name, NULL);
  GstElement *src = gst_element_factory_make ("audiotestsrc", "sound");
  GstElement *filter = gst_element_factory_make ("capsfilter", "formats");
  GstCaps *caps;
  GstPad *pad;

  self->label = g_strdup (label);
  self->flags = flags;
  if (!src || !filter) {
    g_clear_object (&src);
    g_clear_object (&filter);
    gst_object_unref (self);
    return NULL;
  }
  g_object_set (src, "is-live", TRUE, "volume", 0.2, NULL);
  if (flags & MIRABO_TEST_DEVICE_SILENT)
    g_object_set (src, "wave", 4 /* silence */ , NULL);
  caps = gst_caps_from_string (microphone_caps);
  g_object_set (filter, "caps", caps, NULL);
  gst_caps_unref (caps);
  gst_bin_add_many (GST_BIN (self), src, filter, NULL);
  gst_element_link (src, filter);
  pad = gst_element_get_static_pad (filter, "src");
  gst_element_add_pad (GST_ELEMENT (self), gst_ghost_pad_new ("src", pad));
  gst_object_unref (pad);
  return GST_ELEMENT (self);
}

/* ---- The devices ---------------------------------------------------------- */

typedef struct {
  GstDevice parent;
  gboolean camera;
  gint number;
  guint flags;
  gint fail_after_frames;
} MiraboTestDevice;
typedef struct {
  GstDeviceClass parent_class;
} MiraboTestDeviceClass;

GType mirabo_test_device_get_type (void);
G_DEFINE_TYPE (MiraboTestDevice, mirabo_test_device, GST_TYPE_DEVICE);

static GstElement *
mirabo_test_device_create_element (GstDevice * device, const gchar * name)
{
  MiraboTestDevice *self = (MiraboTestDevice *) device;
  gchar *label = gst_device_get_display_name (device);
  GstElement *element = self->camera
      ? make_camera (name, label, self->number, self->flags,
      self->fail_after_frames)
      : make_microphone (name, label, self->flags);
  g_free (label);
  return element;
}

static void
mirabo_test_device_class_init (MiraboTestDeviceClass * klass)
{
  GST_DEVICE_CLASS (klass)->create_element = mirabo_test_device_create_element;
}

static void
mirabo_test_device_init (MiraboTestDevice * self)
{
  (void) self;
}

static const gchar *
device_base_name (gboolean camera, guint flags)
{
  if (!camera)
    return (flags & MIRABO_TEST_DEVICE_MONITOR) ? "Monitor of Test Speakers"
        : "Test Microphone";
  if (flags & MIRABO_TEST_DEVICE_TYPICAL_WEBCAM)
    return "Test Webcam";
  if (flags & MIRABO_TEST_DEVICE_MJPEG_WEBCAM)
    return "Test MJPEG Webcam";
  return "Test Camera";
}

/* number: the device's place among the cameras (or microphones), which
 * chooses its picture; nth: its place among devices of the same name. */
static GstDevice *
make_device (gboolean camera, gint number, gint nth,
    const MiraboTestDeviceSpec * setup)
{
  const gchar *base = device_base_name (camera, setup->flags);
  gchar *label = nth == 1 ? g_strdup (base)
      : g_strdup_printf ("%s %d", base, nth);
  const gchar *caps_text = !camera ? microphone_caps
      : webcam_caps_for (setup->flags) ? webcam_caps_for (setup->flags)
      : (setup->flags & MIRABO_TEST_DEVICE_NO_CONTROLS) ? plain_camera_caps
      : camera_caps;
  GstCaps *caps = gst_caps_from_string (caps_text);
  GstStructure *props = gst_structure_new ("mirabo-test-device",
      "device.api", G_TYPE_STRING, "test", NULL);
  MiraboTestDevice *device;

  /* Set only where asked, as ALSA's devices have neither. */
  if (!camera && (setup->flags & MIRABO_TEST_DEVICE_DEFAULT))
    gst_structure_set (props, "is-default", G_TYPE_BOOLEAN, TRUE, NULL);
  if (!camera && (setup->flags & MIRABO_TEST_DEVICE_MONITOR))
    gst_structure_set (props, "device.class", G_TYPE_STRING, "monitor", NULL);
  device = g_object_new (mirabo_test_device_get_type (),
      "display-name", label, "caps", caps,
      "device-class", camera ? "Video/Source" : "Audio/Source",
      "properties", props, NULL);

  device->camera = camera;
  device->number = number;
  device->flags = setup->flags;
  device->fail_after_frames = setup->fail_after_frames;
  gst_structure_free (props);
  gst_caps_unref (caps);
  g_free (label);
  return GST_DEVICE (device);
}

/* ---- The provider --------------------------------------------------------- */

static GMutex config_lock;
static GArray *config_cameras;      /* of MiraboTestDeviceSpec */
static GArray *config_microphones;
static GArray *config_camera_numbers;   /* of gint: "Test Camera <n>" */
static GList *started_providers;    /* watched by a running device monitor */

typedef struct {
  GstDeviceProvider parent;
} MiraboTestDeviceProvider;
typedef struct {
  GstDeviceProviderClass parent_class;
} MiraboTestDeviceProviderClass;

GType mirabo_test_device_provider_get_type (void);
G_DEFINE_TYPE (MiraboTestDeviceProvider, mirabo_test_device_provider,
    GST_TYPE_DEVICE_PROVIDER);

/* Plain cameras keep their number in the name, so that one unplugged does
 * not rename the others; webcams count among their own kind. Call locked. */
static gint
label_nth (guint index)
{
  guint flags = g_array_index (config_cameras, MiraboTestDeviceSpec, index).flags;
  const gchar *name = device_base_name (TRUE, flags);
  gint n = 1;
  guint i;

  if (g_str_equal (name, "Test Camera"))
    return g_array_index (config_camera_numbers, gint, index);
  for (i = 0; i < index; ++i)
    if (g_str_equal (name, device_base_name (TRUE,
                g_array_index (config_cameras, MiraboTestDeviceSpec, i).flags)))
      ++n;
  return n;
}

/* Microphones count among those of the same name. Call locked. */
static gint
microphone_nth (guint index)
{
  const gchar *name = device_base_name (FALSE,
      g_array_index (config_microphones, MiraboTestDeviceSpec, index).flags);
  gint n = 1;
  guint i;

  for (i = 0; i < index; ++i)
    if (g_str_equal (name, device_base_name (FALSE,
                g_array_index (config_microphones, MiraboTestDeviceSpec,
                    i).flags)))
      ++n;
  return n;
}

static GList *
mirabo_test_device_provider_probe (GstDeviceProvider * provider)
{
  GList *devices = NULL;
  guint i;
  (void) provider;

  g_mutex_lock (&config_lock);
  for (i = 0; config_cameras && i < config_cameras->len; ++i)
    devices = g_list_append (devices, make_device (TRUE,
            g_array_index (config_camera_numbers, gint, i), label_nth (i),
            &g_array_index (config_cameras, MiraboTestDeviceSpec, i)));
  for (i = 0; config_microphones && i < config_microphones->len; ++i)
    devices = g_list_append (devices, make_device (FALSE, (gint) i + 1,
            microphone_nth (i),
            &g_array_index (config_microphones, MiraboTestDeviceSpec, i)));
  g_mutex_unlock (&config_lock);
  return devices;
}

/* Hands a device the provider made to the provider's list (and bus). */
static void
publish_device (GstDeviceProvider * provider, GstDevice * device)
{
  const gboolean floating = g_object_is_floating (device);
  gst_device_provider_device_add (provider, device);
  if (!floating)
    gst_object_unref (device);
}

/* Watched, the provider announces what changes while it runs: devices set
 * anew, plugged in or unplugged. */
static gboolean
mirabo_test_device_provider_start (GstDeviceProvider * provider)
{
  GList *devices = mirabo_test_device_provider_probe (provider);
  GList *item;

  for (item = devices; item; item = item->next)
    publish_device (provider, item->data);
  g_list_free (devices);
  g_mutex_lock (&config_lock);
  started_providers = g_list_append (started_providers, provider);
  g_mutex_unlock (&config_lock);
  return TRUE;
}

static void
mirabo_test_device_provider_stop (GstDeviceProvider * provider)
{
  g_mutex_lock (&config_lock);
  started_providers = g_list_remove (started_providers, provider);
  g_mutex_unlock (&config_lock);
}

static gpointer
ref_provider (gconstpointer provider, gpointer unused)
{
  (void) unused;
  return gst_object_ref ((gpointer) provider);
}

static GList *
watched_providers (void)
{
  GList *providers;
  g_mutex_lock (&config_lock);
  providers = g_list_copy_deep (started_providers, ref_provider, NULL);
  g_mutex_unlock (&config_lock);
  return providers;
}

/* Unplugs the provider's cameras that match: all, or the one numbered. */
static void
withdraw_devices (GstDeviceProvider * provider, gboolean all, gint number)
{
  GList *devices = gst_device_provider_get_devices (provider);
  GList *item;

  for (item = devices; item; item = item->next) {
    MiraboTestDevice *device = item->data;
    if (all || (device->camera && device->number == number))
      gst_device_provider_device_remove (provider, GST_DEVICE (device));
  }
  g_list_free_full (devices, gst_object_unref);
}

static void
mirabo_test_device_provider_class_init (MiraboTestDeviceProviderClass * klass)
{
  GstDeviceProviderClass *provider_class = GST_DEVICE_PROVIDER_CLASS (klass);
  provider_class->probe = mirabo_test_device_provider_probe;
  provider_class->start = mirabo_test_device_provider_start;
  provider_class->stop = mirabo_test_device_provider_stop;
  gst_device_provider_class_set_static_metadata (provider_class,
      "Mirabo test devices", "Source/Video/Audio",
      "A test camera and microphone for machines without them",
      "Mirabo developers");
}

static void
mirabo_test_device_provider_init (MiraboTestDeviceProvider * self)
{
  (void) self;
}

static void
set_config (const MiraboTestDeviceSpec * cameras, gint n_cameras,
    const MiraboTestDeviceSpec * microphones, gint n_microphones)
{
  GList *watched, *item;
  gint i;

  g_mutex_lock (&config_lock);
  if (!config_cameras) {
    config_cameras = g_array_new (FALSE, TRUE, sizeof (MiraboTestDeviceSpec));
    config_microphones = g_array_new (FALSE, TRUE,
        sizeof (MiraboTestDeviceSpec));
    config_camera_numbers = g_array_new (FALSE, TRUE, sizeof (gint));
  }
  g_array_set_size (config_cameras, 0);
  g_array_set_size (config_microphones, 0);
  g_array_set_size (config_camera_numbers, 0);
  if (cameras && n_cameras > 0)
    g_array_append_vals (config_cameras, cameras, (guint) n_cameras);
  for (i = 1; cameras && i <= n_cameras; ++i)
    g_array_append_val (config_camera_numbers, i);
  if (microphones && n_microphones > 0)
    g_array_append_vals (config_microphones, microphones,
        (guint) n_microphones);
  g_mutex_unlock (&config_lock);

  /* A monitor that is running sees the old devices go and the new come. */
  watched = watched_providers ();
  for (item = watched; item; item = item->next) {
    GList *devices = mirabo_test_device_provider_probe (item->data), *d;
    withdraw_devices (item->data, TRUE, 0);
    for (d = devices; d; d = d->next)
      publish_device (item->data, d->data);
    g_list_free (devices);
  }
  g_list_free_full (watched, gst_object_unref);
}

gint
mirabo_test_devices_plug_camera (const MiraboTestDeviceSpec * setup)
{
  const MiraboTestDeviceSpec plain = { 0, 0 };
  GList *watched, *item;
  gint number = 0, nth;
  guint i;

  if (!setup)
    setup = &plain;
  g_mutex_lock (&config_lock);
  if (!config_cameras) {
    g_mutex_unlock (&config_lock);
    return 0;
  }
  for (i = 0; i < config_camera_numbers->len; ++i)
    number = MAX (number, g_array_index (config_camera_numbers, gint, i));
  ++number;
  g_array_append_vals (config_cameras, setup, 1);
  g_array_append_val (config_camera_numbers, number);
  nth = label_nth (config_cameras->len - 1);
  g_mutex_unlock (&config_lock);

  watched = watched_providers ();
  for (item = watched; item; item = item->next)
    publish_device (item->data, make_device (TRUE, number, nth, setup));
  g_list_free_full (watched, gst_object_unref);
  return number;
}

gboolean
mirabo_test_devices_unplug_camera (gint number)
{
  GList *watched, *item;
  gboolean found = FALSE;
  guint i;

  g_mutex_lock (&config_lock);
  for (i = 0; config_cameras && i < config_camera_numbers->len && !found; ++i) {
    if (g_array_index (config_camera_numbers, gint, i) == number) {
      g_array_remove_index (config_cameras, i);
      g_array_remove_index (config_camera_numbers, i);
      found = TRUE;
    }
  }
  g_mutex_unlock (&config_lock);
  if (!found)
    return FALSE;

  watched = watched_providers ();
  for (item = watched; item; item = item->next)
    withdraw_devices (item->data, FALSE, number);
  g_list_free_full (watched, gst_object_unref);
  return TRUE;
}

static void
rank_out_other_providers (void)
{
  GList *factories =
      gst_device_provider_factory_list_get_device_providers (GST_RANK_NONE);
  GList *item;

  for (item = factories; item; item = item->next) {
    GstPluginFeature *feature = GST_PLUGIN_FEATURE (item->data);
    if (g_strcmp0 (gst_plugin_feature_get_name (feature), PROVIDER_NAME) != 0)
      gst_plugin_feature_set_rank (feature, GST_RANK_NONE);
  }
  gst_plugin_feature_list_free (factories);
}

gboolean
mirabo_test_devices_set (const MiraboTestDeviceSpec * cameras, gint n_cameras,
    const MiraboTestDeviceSpec * microphones, gint n_microphones,
    gboolean rank_out_others)
{
  GstDeviceProviderFactory *factory;

  if (!gst_is_initialized ())
    return FALSE;
  set_config (cameras, n_cameras, microphones, n_microphones);

  factory = gst_device_provider_factory_find (PROVIDER_NAME);
  if (factory)
    gst_object_unref (factory);
  else if (!gst_device_provider_register (NULL, PROVIDER_NAME,
          GST_RANK_PRIMARY, mirabo_test_device_provider_get_type ()))
    return FALSE;

  if (rank_out_others)
    rank_out_other_providers ();
  return TRUE;
}

static gint
count_from_environment (const gchar * name, gint fallback)
{
  const gchar *text = g_getenv (name);
  gchar *end = NULL;
  gint64 value;

  if (!text || !*text)
    return fallback;
  value = g_ascii_strtoll (text, &end, 10);
  if (*end != '\0' || value < 0 || value > 16)
    return fallback;
  return (gint) value;
}

/* Webcam personalities named in the variable ("typical", "mjpeg-only",
 * separated by commas or spaces) after the counted test cameras; unknown
 * names are passed over. Returns how many were added. */
static gint
webcams_from_environment (const gchar * name, MiraboTestDeviceSpec * cameras,
    gint room)
{
  const gchar *text = g_getenv (name);
  gchar **words;
  gint n = 0;
  gint i;

  if (!text || !*text)
    return 0;
  words = g_strsplit_set (text, ", ", -1);
  for (i = 0; words[i] && n < room; ++i) {
    if (g_ascii_strcasecmp (words[i], "typical") == 0)
      cameras[n++].flags = MIRABO_TEST_DEVICE_TYPICAL_WEBCAM;
    else if (g_ascii_strcasecmp (words[i], "mjpeg-only") == 0)
      cameras[n++].flags = MIRABO_TEST_DEVICE_MJPEG_WEBCAM;
  }
  g_strfreev (words);
  return n;
}

gboolean
mirabo_test_devices_plugin_init (GstPlugin * plugin)
{
  const gint max_webcams = 16;
  gint n_cameras = count_from_environment ("MIRABO_TEST_CAMERAS", 1);
  gint n_microphones = count_from_environment ("MIRABO_TEST_MICROPHONES", 1);
  MiraboTestDeviceSpec *cameras =
      g_new0 (MiraboTestDeviceSpec, n_cameras + max_webcams + 1);
  MiraboTestDeviceSpec *microphones =
      g_new0 (MiraboTestDeviceSpec, n_microphones + 1);

  n_cameras += webcams_from_environment ("MIRABO_TEST_WEBCAMS",
      cameras + n_cameras, max_webcams);
  set_config (cameras, n_cameras, microphones, n_microphones);
  g_free (cameras);
  g_free (microphones);
  return gst_device_provider_register (plugin, PROVIDER_NAME, GST_RANK_PRIMARY,
      mirabo_test_device_provider_get_type ());
}
