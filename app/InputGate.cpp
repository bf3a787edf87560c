#include "InputGate.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>

InputGate::InputGate(QWidget *window, std::function<bool()> closed)
    : m_window(window)
    , m_closed(std::move(closed))
{
    QCoreApplication::instance()->installEventFilter(this);
}

InputGate::~InputGate()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

bool InputGate::inWindow(QObject *object) const
{
    if (!m_window)
        return false;
    // Widgets, the window's own platform window, and what belongs to them
    // (its menu commands, whose shortcuts are sent to them).
    for (QObject *o = object; o; o = o->parent()) {
        if (o->isWidgetType())
            return static_cast<QWidget *>(o)->window() == m_window;
        if (o->isWindowType())
            return o == m_window->windowHandle();
    }
    return false;
}

bool InputGate::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_closed())
        return false;
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
        if (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
            return false;
        [[fallthrough]];
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
        return inWindow(watched);
    default:
        return false;
    }
}
