#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

// While it lives, clicks, keys, wheel turns and shortcuts aimed at the window
// are thrown away instead of waiting to run when a long step is over; the
// window still repaints and its timers still run. Escape and closing the
// window get through, so that a step that can be cancelled still can be, and
// so does all input to other windows, such as a message box the step shows.
// May be nested.
class DropUserInput : public QObject
{
public:
    explicit DropUserInput(QWidget *window);
    ~DropUserInput() override;
    DropUserInput(const DropUserInput &) = delete;
    DropUserInput &operator=(const DropUserInput &) = delete;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    [[nodiscard]] bool inWindow(QObject *object) const;

    QPointer<QWidget> m_window;
};
