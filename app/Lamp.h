#pragma once

#include <QWidget>
#include <cstdint>

// A round signal lamp: 0 unlit, 1 lit green (a finished step), 2 lit red
// (the step to do now).
class Lamp : public QWidget
{
    Q_OBJECT
public:
    explicit Lamp(QWidget *parent = nullptr);

    void setState(int16_t state);
    [[nodiscard]] int16_t state() const { return m_state; }
    [[nodiscard]] QSize sizeHint() const override { return {28, 28}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int16_t m_state = 0;
};
