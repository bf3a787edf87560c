#include "RecentRecipients.h"

#include "MailAddress.h"
#include "SettingNames.h"
#include "SettingsStore.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QMouseEvent>
#include <QStringListModel>
#include <QWindow>

QStringList recentrecipients::parse(const QString &stored)
{
    QStringList kept;
    for (const QString &address : stored.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (kept.size() == kKept)
            break;
        if (isPlainMailAddress(address) && !kept.contains(address, Qt::CaseInsensitive))
            kept << address;
    }
    return kept;
}

QString recentrecipients::remember(const QString &stored, const QString &address)
{
    if (!isPlainMailAddress(address))
        return parse(stored).join(QLatin1Char(' '));
    return parse(address + QLatin1Char(' ') + stored).join(QLatin1Char(' '));
}

RecipientCompleter::RecipientCompleter(QObject *parent)
    : QCompleter(parent)
    , m_addresses(new QStringListModel(this))
{
    setModel(m_addresses);
    setCaseSensitivity(Qt::CaseInsensitive);
    setMaxVisibleItems(recentrecipients::kKept);
    m_list = popup();
}

void RecipientCompleter::setStored(const QString &stored)
{
    m_addresses->setStringList(recentrecipients::parse(stored));
}

void RecipientCompleter::remember(const QString &address, SettingsStore &store)
{
    const QString stored = recentrecipients::remember(store.read(settingnames::RecentRecipients), address);
    setStored(stored);
    store.save(settingnames::RecentRecipients, stored);
}

// Through the window, so that the press gives the focus as a click does.
void RecipientCompleter::forward(const QMouseEvent &m)
{
    QWindow *window = m_clickedThrough->windowHandle();
    const QPointF at = m.globalPosition();
    QMouseEvent copy(m.type(), window->mapFromGlobal(at), at, m.button(), m.buttons(), m.modifiers());
    QApplication::sendEvent(window, &copy);
}

bool RecipientCompleter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list && event->type() == QEvent::MouseButtonPress && !m_list->underMouse() && widget()) {
        const auto &press = *static_cast<QMouseEvent *>(event);
        m_list->hide();
        QWidget *target = QApplication::widgetAt(press.globalPosition().toPoint());
        if (target && target->window() == widget()->window()) {
            m_clickedThrough = target->window();
            forward(press);
            // The release would go astray as well.
            QCoreApplication::instance()->installEventFilter(this);
        }
        return true;
    }
    if (m_clickedThrough && event->type() == QEvent::MouseButtonRelease) {
        QCoreApplication::instance()->removeEventFilter(this);
        forward(*static_cast<QMouseEvent *>(event));
        m_clickedThrough = nullptr;
        return true;
    }
    return QCompleter::eventFilter(watched, event);
}
