#include "FlatButton.h"

#include <QFocusEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

FlatButton::FlatButton(QWidget *parent)
    : QAbstractButton(parent)
    , m_foreOnMouse(palette().color(QPalette::ButtonText))
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

void FlatButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const bool hot = isEnabled() && underMouse();
    QColor back = hot ? m_backOnMouse : m_back;
    QColor fore = hot ? m_foreOnMouse : m_fore;
    if (!isEnabled()) {
        back = QColor(200, 200, 215);
        fore = QColor(130, 130, 140);
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
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = r.adjusted(3, 3, -3, -3);
        focus.backgroundColor = back;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}
