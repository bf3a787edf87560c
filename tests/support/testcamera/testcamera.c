/* The test camera and microphone device provider. */
#include "TestDevices.h"

#include <stdlib.h>

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

static GstStateChangeReturn
mirabo_test_camera_src_change_state (GstElement * element,
    GstStateChange transition)
{
  MiraboTestCameraSrc *self = (MiraboTestCameraSrc *) element;

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

static GstElement *
make_camera (const gchar * name, const gchar * label, gint number,
    guint flags, gint fail_after_frames)
{
  MiraboTestCameraSrc *self =
      g_object_new (mirabo_test_camera_src_get_type (), "name", name, NULL);
  GstElement *src = gst_element_factory_make ("videotestsrc", "picture");
  GstElement *filter = gst_element_factory_make ("capsfilter", "formats");
  GstElement *last = filter;
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
  caps = gst_caps_from_string ((flags & MIRABO_TEST_DEVICE_NO_CONTROLS)
      ? plain_camera_caps : camera_caps);
  g_object_set (filter, "caps", caps, NULL);
  gst_caps_unref (caps);
  gst_bin_add_many (GST_BIN (self), src, filter, NULL);
  gst_element_link (src, filter);

  if (!(flags & MIRABO_TEST_DEVICE_NO_CONTROLS)) {
    GstElement *balance = gst_element_factory_make ("videobalance", "controls");
    if (balance) {
      gst_bin_add (GST_BIN (self), balance);
      gst_element_link (filter, balance);
      last = balance;
    }
  }

  if (fail_after_frames > 0) {
    pad = gst_element_get_static_pad (src, "src");
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

static GstDevice *
make_device (gboolean camera, gint number, const MiraboTestDeviceSpec * setup)
{
  const gchar *base = camera ? "Test Camera" : "Test Microphone";
  gchar *label = number == 1 ? g_strdup (base)
      : g_strdup_printf ("%s %d", base, number);
  const gchar *caps_text = !camera ? microphone_caps
      : (setup->flags & MIRABO_TEST_DEVICE_NO_CONTROLS) ? plain_camera_caps
      : camera_caps;
  GstCaps *caps = gst_caps_from_string (caps_text);
  GstStructure *props = gst_structure_new ("mirabo-test-device",
      "device.api", G_TYPE_STRING, "test", NULL);
  MiraboTestDevice *device = g_object_new (mirabo_test_device_get_type (),
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

static GList *
mirabo_test_device_provider_probe (GstDeviceProvider * provider)
{
  GList *devices = NULL;
  guint i;
  (void) provider;

  g_mutex_lock (&config_lock);
  for (i = 0; config_cameras && i < config_cameras->len; ++i)
    devices = g_list_append (devices, make_device (TRUE,
            g_array_index (config_camera_numbers, gint, i),
            &g_array_index (config_cameras, MiraboTestDeviceSpec, i)));
  for (i = 0; config_microphones && i < config_microphones->len; ++i)
    devices = g_list_append (devices, make_device (FALSE, (gint) i + 1,
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
  gint number = 0;
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
  g_mutex_unlock (&config_lock);

  watched = watched_providers ();
  for (item = watched; item; item = item->next)
    publish_device (item->data, make_device (TRUE, number, setup));
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

gboolean
mirabo_test_devices_plugin_init (GstPlugin * plugin)
{
  gint n_cameras = count_from_environment ("MIRABO_TEST_CAMERAS", 1);
  gint n_microphones = count_from_environment ("MIRABO_TEST_MICROPHONES", 1);
  MiraboTestDeviceSpec *cameras = g_new0 (MiraboTestDeviceSpec, n_cameras + 1);
  MiraboTestDeviceSpec *microphones =
      g_new0 (MiraboTestDeviceSpec, n_microphones + 1);

  set_config (cameras, n_cameras, microphones, n_microphones);
  g_free (cameras);
  g_free (microphones);
  return gst_device_provider_register (plugin, PROVIDER_NAME, GST_RANK_PRIMARY,
      mirabo_test_device_provider_get_type ());
}
