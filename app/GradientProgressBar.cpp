#include "GradientProgressBar.h"

#include <QLinearGradient>
#include <QPainter>
#include <algorithm>

GradientProgressBar::GradientProgressBar(QWidget *parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void GradientProgressBar::setValue(int32_t value)
{
    if (value == m_value)
        return;
    m_value = value;
    update();
}

QString GradientProgressBar::text() const
{
    return m_before + QString::number(m_value) + m_after;
}

void GradientProgressBar::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    const int filled = width() * std::clamp(m_value, 0, 100) / 100;
    if (filled > 0) {
        QRect bar(0, 0, filled, height());
        QLinearGradient fill(bar.topLeft(), bar.topRight());
        fill.setColorAt(0, m_start);
        fill.setColorAt(1, m_end);
        p.fillRect(bar, fill);
    }
    p.setPen(m_textColor);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
}
