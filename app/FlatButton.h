#pragma once

#include <QAbstractButton>
#include <QColor>

// A flat push button in the window's own colours: backColor/foreColor, and
// backColorOnMouse/foreColorOnMouse while the pointer is over it. Space and
// Enter press it when it has the focus, which a dark frame shows.
class FlatButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit FlatButton(QWidget *parent = nullptr);

    void setBackColor(const QColor &c) { m_back = c; update(); }
    void setForeColor(const QColor &c) { m_fore = c; update(); }
    void setBackColorOnMouse(const QColor &c) { m_backOnMouse = c; update(); }
    // Unset, the palette's button text colour is used.
    void setForeColorOnMouse(const QColor &c) { m_foreOnMouse = c; update(); }

    [[nodiscard]] bool isUnderMouse() const { return underMouse(); }
    [[nodiscard]] QSize sizeHint() const override;

signals:
    // The button received the keyboard focus, by TAB or by a click; a click
    // raises it before clicked().
    void gotFocus();

protected:
    void paintEvent(QPaintEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool event(QEvent *event) override;

private:
    QColor m_back{128, 128, 255};
    QColor m_fore{Qt::black};
    QColor m_backOnMouse{192, 192, 255};
    QColor m_foreOnMouse;
};
