#include "VideoView.h"

#include <QMetaObject>
#include <QPainter>

VideoView::VideoView(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

void VideoView::presentFrame(const QImage &frame)
{
    QMetaObject::invokeMethod(this, [this, frame] { showFrame(frame); }, Qt::AutoConnection);
}

void VideoView::showFrame(const QImage &frame)
{
    m_frame = frame;
    ++m_framesShown;
    update();
    emit frameShown();
}

void VideoView::clear()
{
    m_frame = QImage();
    update();
}

void VideoView::setStretched(bool stretched)
{
    m_stretched = stretched;
    update();
}

void VideoView::setMirrored(bool mirrored)
{
    m_mirrored = mirrored;
    update();
}

void VideoView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (m_frame.isNull())
        return;
    QRect target = rect();
    if (!m_stretched) {
        QSize fitted = m_frame.size().scaled(size(), Qt::KeepAspectRatio);
        target = QRect(QPoint(0, 0), fitted);
        target.moveCenter(rect().center());
    }
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    if (m_mirrored) {
        p.translate(width(), 0);
        p.scale(-1, 1);
        target.moveLeft(width() - target.right() - 1);
    }
    p.drawImage(target, m_frame);
}
