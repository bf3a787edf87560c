#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

// While `closed` holds, clicks, keys, wheel turns and shortcuts aimed at the
// window are thrown away; they never wait to run later. The window still
// repaints and its timers still run. Escape and closing the window get
// through, so that a step that can be cancelled still can be, and so does
// all input to other windows, such as a message box.
class InputGate : public QObject
{
public:
    InputGate(QWidget *window, std::function<bool()> closed);
    ~InputGate() override;
    InputGate(const InputGate &) = delete;
    InputGate &operator=(const InputGate &) = delete;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    [[nodiscard]] bool inWindow(QObject *object) const;

    QPointer<QWidget> m_window;
    std::function<bool()> m_closed;
};
