#pragma once

#include <QImage>
#include <QWidget>

// A plain picture surface: the capture component and the media player hand it
// frames, it paints the latest one. Frames may be handed over from any thread.
class VideoView : public QWidget
{
    Q_OBJECT
public:
    explicit VideoView(QWidget *parent = nullptr);

    // Thread-safe: queues the frame to the view's thread.
    void presentFrame(const QImage &frame);
    void clear();

    void setStretched(bool stretched);   // false: kept in proportion
    [[nodiscard]] bool isStretched() const { return m_stretched; }
    void setMirrored(bool mirrored);
    [[nodiscard]] bool isMirrored() const { return m_mirrored; }

    [[nodiscard]] QImage currentFrame() const { return m_frame; }
    [[nodiscard]] quint64 framesShown() const { return m_framesShown; }

signals:
    void frameShown();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showFrame(const QImage &frame);

    QImage m_frame;
    bool m_stretched = true;
    bool m_mirrored = false;
    quint64 m_framesShown = 0;
};
