#pragma once

#include <QString>
#include <QStringList>

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
