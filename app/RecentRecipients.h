#pragma once

#include <QCompleter>
#include <QString>
#include <QStringList>

class QMouseEvent;
class QStringListModel;
class SettingsStore;

// The recipients of the last deliveries, newest first, as the recipient box
// offers them. Stored as one settings value, the addresses separated by
// spaces (a plain address holds none).
namespace recentrecipients {

inline constexpr int kKept = 10;

// What a stored value holds that could be offered again: plain addresses,
// each once (regardless of case), at most kKept of them.
[[nodiscard]] QStringList parse(const QString &stored);
// The stored value once `address` has been delivered to.
[[nodiscard]] QString remember(const QString &stored, const QString &address);

} // namespace recentrecipients

// The recipient box's suggestions: the recipients kept, matched as the user
// types. A click outside the list closes it and still does what it was meant
// for (QCompleter would take it for itself).
class RecipientCompleter : public QCompleter
{
public:
    explicit RecipientCompleter(QObject *parent = nullptr);
    void setStored(const QString &stored);
    // Puts a recipient delivered to first, in the list and in the store,
    // whose error is thrown.
    void remember(const QString &address, SettingsStore &store);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void forward(const QMouseEvent &event);

    QStringListModel *m_addresses;
    QWidget *m_list;   // popup(), which asked for creates it
    QWidget *m_clickedThrough = nullptr;   // the window, until the release comes
};
