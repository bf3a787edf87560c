#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>

// A continuous bar filled from red to green, with "Sending <value>% Complete"
// in its middle. The value is shown as given; only the drawing is clamped.
class GradientProgressBar : public QWidget
{
    Q_OBJECT
public:
    explicit GradientProgressBar(QWidget *parent = nullptr);

    void setValue(int32_t value);
    [[nodiscard]] int32_t value() const { return m_value; }
    [[nodiscard]] QString text() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int32_t m_value = 0;
    QColor m_start{255, 0, 0};
    QColor m_end{0, 255, 0};
    QColor m_textColor{Qt::black};
    QString m_before = QStringLiteral("Sending ");
    QString m_after = QStringLiteral("% Complete");
};
