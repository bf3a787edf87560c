#include "LayoutScale.h"

#include <QFontInfo>
#include <QGroupBox>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <algorithm>
#include <cmath>

namespace {

constexpr double kDesignFontPt = 9.0;

QString scaledPoints(const QString &sheet, double factor)
{
    static const QRegularExpression points(QStringLiteral(R"((\d+(?:\.\d+)?)pt\b)"));
    QString scaled;
    qsizetype done = 0;
    for (const QRegularExpressionMatch &m : points.globalMatch(sheet)) {
        scaled += sheet.mid(done, m.capturedStart(1) - done);
        scaled += QString::number(m.captured(1).toDouble() * factor, 'f', 2);
        done = m.capturedEnd(1);
    }
    return scaled + sheet.mid(done);
}

} // namespace

double layoutScaleFor(const QFont &desktopFont)
{
    const double pt = desktopFont.pointSizeF() > 0 ? desktopFont.pointSizeF()
                                                    : QFontInfo(desktopFont).pointSizeF();
    return std::max(1.0, pt / kDesignFontPt);
}

int scaledPx(int px, double factor)
{
    return int(std::lround(px * factor));
}

void scaleLayout(QWidget *root, double factor)
{
    if (factor == 1.0)
        return;
    for (QWidget *w : root->findChildren<QWidget *>()) {
        // Edges rather than sizes, so that controls that meet still meet.
        const QRect r = w->geometry();
        const int left = scaledPx(r.left(), factor);
        const int top = scaledPx(r.top(), factor);
        w->setGeometry(left, top, scaledPx(r.left() + r.width(), factor) - left,
                       scaledPx(r.top() + r.height(), factor) - top);
        // A font in a style sheet wins over any the widget is given.
        if (!w->styleSheet().isEmpty())
            w->setStyleSheet(scaledPoints(w->styleSheet(), factor));
    }
}

void keepBelowCaption(QGroupBox *frame)
{
    QStyleOptionGroupBox option;
    option.initFrom(frame);
    option.text = frame->title();
    option.textAlignment = frame->alignment();
    option.lineWidth = 1;
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const int below = frame->style()
                          ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, frame)
                          .bottom() + 1;
    for (QWidget *inside : frame->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        QRect r = inside->geometry();
        if (r.top() >= below)
            continue;
        r.moveTop(below);
        r.setBottom(std::min(r.bottom(), frame->contentsRect().bottom()));
        inside->setGeometry(r);
    }
}
