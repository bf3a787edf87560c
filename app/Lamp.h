#pragma once

#include <QStringList>
#include <QWidget>
#include <cstdint>

// A round signal lamp: unlit, lit green (a finished step; also the on-air
// lamps while recording) or lit red (the step to do now; the on-air lamps
// while encoding). Screen readers hear its accessible name followed by the
// text of its state, "Step 3: current".
class Lamp : public QWidget
{
    Q_OBJECT
public:
    enum State : int16_t { Unlit = 0, Done = 1, Current = 2 };

    explicit Lamp(QWidget *parent = nullptr);

    void setState(int16_t state);
    [[nodiscard]] int16_t state() const { return m_state; }
    [[nodiscard]] QSize sizeHint() const override { return {28, 28}; }

    // The words for Unlit, Done and Current; a step's by default.
    void setStateTexts(const QStringList &texts) { m_stateTexts = texts; }
    [[nodiscard]] QString stateText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int16_t m_state = 0;
    QStringList m_stateTexts{QStringLiteral("not reached"), QStringLiteral("done"),
                             QStringLiteral("current")};
};
