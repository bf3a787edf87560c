#include "Lamp.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QRadialGradient>

namespace {

// The state is part of the name ("Step 3: current"): AT-SPI passes on no
// value of a control that has no value interface, and Qt 6.4 drops the event.
class AccessibleLamp : public QAccessibleWidget
{
public:
    explicit AccessibleLamp(QWidget *w) : QAccessibleWidget(w, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override
    {
        const auto *lamp = static_cast<const Lamp *>(widget());
        if (t == QAccessible::Name)
            return lamp->accessibleName() + QStringLiteral(": ") + lamp->stateText();
        if (t == QAccessible::Description)
            return lamp->stateText();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *accessibleLamp(const QString &className, QObject *object)
{
    if (className == QLatin1String("Lamp") && object && object->isWidgetType())
        return new AccessibleLamp(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

Lamp::Lamp(QWidget *parent)
    : QWidget(parent)
{
    static const bool accessible = (QAccessible::installFactory(accessibleLamp), true);
    Q_UNUSED(accessible);
    setFocusPolicy(Qt::NoFocus);
    resize(28, 28);
}

QString Lamp::stateText() const
{
    return m_stateTexts.value(m_state);
}

void Lamp::setState(int16_t state)
{
    if (state == m_state)
        return;
    m_state = state;
    update();
    for (const auto what : {QAccessible::NameChanged, QAccessible::DescriptionChanged}) {
        QAccessibleEvent changed(this, what);
        QAccessible::updateAccessibility(&changed);
    }
}

void Lamp::paintEvent(QPaintEvent *)
{
    QColor core, rim;
    switch (m_state) {
    case Done:
        core = QColor(170, 255, 170);
        rim = QColor(0, 150, 0);
        break;
    case Current:
        core = QColor(255, 200, 170);
        rim = QColor(220, 0, 0);
        break;
    default:
        core = QColor(130, 130, 130);
        rim = QColor(60, 60, 60);
        break;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bulb = QRectF(rect()).adjusted(2, 2, -2, -2);
    QRadialGradient glow(bulb.center() - QPointF(bulb.width() / 6, bulb.height() / 6),
                         bulb.width() / 2);
    glow.setColorAt(0, core);
    glow.setColorAt(1, rim);
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(glow);
    p.drawEllipse(bulb);
}
