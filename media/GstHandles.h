#pragma once

// Owning handles for GStreamer and GLib references. Each handle owns exactly
// one reference; adopt() takes over a reference the caller already owns
// (a "transfer full" result), retain() adds one to a borrowed pointer. For
// elements made by a factory (floating references) use adoptFloating(),
// which sinks the floating reference into the handle.

#include <gst/gst.h>

#include <QString>
#include <utility>

namespace gsthandle {

template <typename T, void (*Unref)(T *), T *(*Ref)(T *)>
class Handle
{
public:
    Handle() = default;
    Handle(std::nullptr_t) {}
    ~Handle() { reset(); }
    Handle(const Handle &other) : m_p(other.m_p ? Ref(other.m_p) : nullptr) {}
    Handle(Handle &&other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    Handle &operator=(Handle other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    [[nodiscard]] static Handle adopt(T *owned)
    {
        Handle h;
        h.m_p = owned;
        return h;
    }
    [[nodiscard]] static Handle retain(T *borrowed)
    {
        return adopt(borrowed ? Ref(borrowed) : nullptr);
    }

    void reset()
    {
        if (T *p = std::exchange(m_p, nullptr))
            Unref(p);
    }
    // Hands the reference to a "transfer full" parameter.
    [[nodiscard]] T *release() { return std::exchange(m_p, nullptr); }

    [[nodiscard]] T *get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool operator==(const Handle &other) const { return m_p == other.m_p; }

private:
    T *m_p = nullptr;
};

template <typename T> void objectUnref(T *p) { gst_object_unref(p); }
template <typename T> T *objectRef(T *p) { return static_cast<T *>(gst_object_ref(p)); }
inline void capsUnref(GstCaps *p) { gst_caps_unref(p); }
inline GstCaps *capsRef(GstCaps *p) { return gst_caps_ref(p); }
inline void messageUnref(GstMessage *p) { gst_message_unref(p); }
inline GstMessage *messageRef(GstMessage *p) { return gst_message_ref(p); }
inline void sampleUnref(GstSample *p) { gst_sample_unref(p); }
inline GstSample *sampleRef(GstSample *p) { return gst_sample_ref(p); }

template <typename T> using Object = Handle<T, objectUnref<T>, objectRef<T>>;

} // namespace gsthandle

using ElementRef = gsthandle::Object<GstElement>;
using PadRef = gsthandle::Object<GstPad>;
using BusRef = gsthandle::Object<GstBus>;
using ClockRef = gsthandle::Object<GstClock>;
using DeviceRef = gsthandle::Object<GstDevice>;
using DeviceMonitorRef = gsthandle::Object<GstDeviceMonitor>;
using CapsRef = gsthandle::Handle<GstCaps, gsthandle::capsUnref, gsthandle::capsRef>;
using MessageRef = gsthandle::Handle<GstMessage, gsthandle::messageUnref, gsthandle::messageRef>;
using SampleRef = gsthandle::Handle<GstSample, gsthandle::sampleUnref, gsthandle::sampleRef>;

// A factory-made element sunk into its handle; null when the factory is
// missing (a plugin not installed).
[[nodiscard]] inline ElementRef makeElement(const char *factory, const char *name = nullptr)
{
    GstElement *e = gst_element_factory_make(factory, name);
    return ElementRef::adopt(e ? static_cast<GstElement *>(gst_object_ref_sink(e)) : nullptr);
}

// An element a GstDevice made, sunk into its handle.
[[nodiscard]] inline ElementRef makeDeviceElement(GstDevice *device, const char *name = nullptr)
{
    GstElement *e = gst_device_create_element(device, name);
    return ElementRef::adopt(e ? static_cast<GstElement *>(gst_object_ref_sink(e)) : nullptr);
}

// Owns a g_malloc'ed string.
class GCharPtr
{
public:
    explicit GCharPtr(gchar *owned) : m_p(owned) {}
    ~GCharPtr() { g_free(m_p); }
    GCharPtr(const GCharPtr &) = delete;
    GCharPtr &operator=(const GCharPtr &) = delete;
    [[nodiscard]] QString toQString() const { return m_p ? QString::fromUtf8(m_p) : QString(); }
    [[nodiscard]] const gchar *get() const { return m_p; }

private:
    gchar *m_p;
};

// Owns a GError.
class ErrorRef
{
public:
    ErrorRef() = default;
    ~ErrorRef() { g_clear_error(&m_p); }
    ErrorRef(const ErrorRef &) = delete;
    ErrorRef &operator=(const ErrorRef &) = delete;
    GError **out() { g_clear_error(&m_p); return &m_p; }
    [[nodiscard]] GError *get() const { return m_p; }

private:
    GError *m_p = nullptr;
};
