// What makes the window usable by keyboard and screen reader, and keeps its
// designed colours whatever style or palette the desktop brings.
#include "frmMain.h"

#include "FlatButton.h"
#include "GradientProgressBar.h"
#include "Lamp.h"
#include "ui_frmMain.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>

// The design's colours as one palette: text on the grey stays dark even
// where the desktop's palette is a dark one.
QPalette frmMain::designedPalette()
{
    const QColor grey(192, 192, 192);
    QPalette p;
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool disabled = group == QPalette::Disabled;
        const QColor text = disabled ? QColor(70, 70, 70) : QColor(Qt::black);
        p.setColor(group, QPalette::Window, grey);
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, Qt::white);
        p.setColor(group, QPalette::AlternateBase, QColor(232, 232, 232));
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::PlaceholderText, QColor(90, 90, 90));
        p.setColor(group, QPalette::Button, grey);
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::BrightText, Qt::white);
        p.setColor(group, QPalette::Light, Qt::white);
        p.setColor(group, QPalette::Midlight, QColor(224, 224, 224));
        p.setColor(group, QPalette::Mid, QColor(160, 160, 160));
        p.setColor(group, QPalette::Dark, QColor(128, 128, 128));
        p.setColor(group, QPalette::Shadow, QColor(64, 64, 64));
        p.setColor(group, QPalette::Highlight, QColor(0, 0, 128));
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::ToolTipBase, QColor(255, 255, 225));
        p.setColor(group, QPalette::ToolTipText, Qt::black);
        p.setColor(group, QPalette::Link, QColor(0, 0, 192));
    }
    return p;
}

namespace {

// "Email To :" is read as "Email To".
QString nameFromCaption(const QString &caption)
{
    QString name = caption.trimmed();
    if (name.endsWith(QLatin1Char(':')))
        name.chop(1);
    return name.trimmed();
}

void labelBox(QLabel *label, QLineEdit *box)
{
    label->setBuddy(box);
    box->setAccessibleName(nameFromCaption(label->text()));
}

} // namespace

void frmMain::setUpAccess()
{
    // To each widget: a palette does not pass through a widget that has a
    // style sheet, and the design gives many of them one. Before they are
    // first polished, so that the sheets' own colours still go on top.
    const QPalette designed = designedPalette();
    setPalette(designed);
    for (QWidget *w : findChildren<QWidget *>())
        w->setPalette(designed);

    labelBox(Label1[0], txtEmailFrom);
    labelBox(Label1[1], txtEmailTo);
    labelBox(Label1[2], txtEmailSubject);
    for (size_t i = 0; i < txtDetails.size(); ++i)
        labelBox(Label2[i], txtDetails[i]);

    for (size_t i = 0; i < LEDsteps.size(); ++i)
        LEDsteps[i]->setAccessibleName(QStringLiteral("Step %1").arg(i + 1));
    for (Lamp *lamp : LEDONAIR) {
        lamp->setAccessibleName(QStringLiteral("On-air light"));
        lamp->setStateTexts({QStringLiteral("off"), QStringLiteral("recording"),
                             QStringLiteral("encoding")});
    }
    PROsending->setAccessibleName(QStringLiteral("Sending progress"));
    lblStatus->setAccessibleName(QStringLiteral("Status"));
    menuBar()->setAccessibleName(QStringLiteral("Menu bar"));
    for (QMenu *menu : {mnuDevices, mnuSettings})
        menu->setAccessibleName(menu->title().remove(QLatin1Char('&')));
    ui->LiveVideoView->setAccessibleName(QStringLiteral("Live video picture"));
    ui->PlayerView->setAccessibleName(QStringLiteral("Video playback picture"));

    reachSettingsPanel(false);
}

// The panel's boxes take the focus only while the panel is in view, so that
// TAB never leads into a box the user cannot see; out of view, the panel is
// hidden, so that a screen reader does not find it below the window's edge.
void frmMain::reachSettingsPanel(bool inView)
{
    Label3->setVisible(inView);
    for (QLabel *label : Label2)
        label->setVisible(inView);
    for (QLineEdit *box : txtDetails) {
        box->setFocusPolicy(inView ? Qt::StrongFocus : Qt::NoFocus);
        // Let go rather than pass it on: the next control may be one whose
        // got-focus moves the guidance.
        if (!inView && box->hasFocus())
            box->clearFocus();
        box->setVisible(inView);
    }
}
