#include "FlatButton.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QPainter>

namespace {

// Disabled: grey on grey, still readable (4.8:1), plainly unlike the blue.
const QColor kDisabledBack(200, 200, 215);
const QColor kDisabledFore(80, 80, 88);

} // namespace

FlatButton::FlatButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
}

QSize FlatButton::sizeHint() const
{
    return fontMetrics().size(Qt::TextSingleLine, text()) + QSize(16, 8);
}

bool FlatButton::event(QEvent *event)
{
    if (event->type() == QEvent::HoverEnter || event->type() == QEvent::HoverLeave)
        update();
    return QAbstractButton::event(event);
}

void FlatButton::focusInEvent(QFocusEvent *event)
{
    QAbstractButton::focusInEvent(event);
    // Coming back from a menu or another window is not a move of the focus.
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        emit gotFocus();
}

void FlatButton::keyPressEvent(QKeyEvent *event)
{
    // Space is the base class's; Enter presses a push button as well. A key
    // held down presses once.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && event->modifiers() == Qt::NoModifier) {
        if (!event->isAutoRepeat())
            click();
        event->accept();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void FlatButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const bool hot = isEnabled() && underMouse();
    QColor back = hot ? m_backOnMouse : m_back;
    QColor fore = hot ? (m_foreOnMouse.isValid() ? m_foreOnMouse : palette().color(QPalette::ButtonText))
                      : m_fore;
    if (!isEnabled()) {
        back = kDisabledBack;
        fore = kDisabledFore;
    }
    QRect r = rect();
    p.fillRect(r, back);
    // A raised edge, pressed in while the button is down.
    const bool down = isDown();
    p.setPen(down ? back.darker(170) : back.lighter(140));
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(down ? back.lighter(140) : back.darker(170));
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());

    p.setPen(fore);
    p.setFont(font());
    p.drawText(r.translated(down ? 1 : 0, down ? 1 : 0), Qt::AlignCenter, text());

    if (hasFocus()) {
        // Two pixels in the text's colour inside the edge: seen in any style.
        p.setPen(QPen(fore, 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(r).adjusted(2, 2, -2, -2));
    }
}
