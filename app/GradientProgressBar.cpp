#include "GradientProgressBar.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLinearGradient>
#include <QPainter>
#include <algorithm>

namespace {

// Read-only: the bar shows what the delivery reports.
class AccessibleProgressBar : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit AccessibleProgressBar(QWidget *w) : QAccessibleWidget(w, QAccessible::ProgressBar) {}

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QStringLiteral("%1%").arg(bar()->value());
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        return s;
    }

    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    const GradientProgressBar *bar() const
    {
        return static_cast<const GradientProgressBar *>(widget());
    }
};

QAccessibleInterface *accessibleBar(const QString &className, QObject *object)
{
    if (className == QLatin1String("GradientProgressBar") && object && object->isWidgetType())
        return new AccessibleProgressBar(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

GradientProgressBar::GradientProgressBar(QWidget *parent)
    : QWidget(parent)
{
    static const bool accessible = (QAccessible::installFactory(accessibleBar), true);
    Q_UNUSED(accessible);
    setFocusPolicy(Qt::NoFocus);
}

void GradientProgressBar::setValue(int32_t value)
{
    if (value == m_value)
        return;
    m_value = value;
    update();
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent changed(this, value);
        QAccessible::updateAccessibility(&changed);
    }
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
