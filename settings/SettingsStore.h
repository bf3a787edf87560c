#pragma once

#include <QString>

// The per-user store of the five settings. Value names match without regard
// to case; a missing value reads as the empty string. A failed save throws
// std::runtime_error.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;
    [[nodiscard]] virtual QString read(const QString &name) const = 0;
    virtual void save(const QString &name, const QString &value) = 0;
};

// INI file, section "Settings", readable and writable by its owner only: it
// holds the mail password in clear text.
class IniSettingsStore : public SettingsStore
{
public:
    // $XDG_CONFIG_HOME/Mirabo/Mirabo.conf (~/.config when unset).
    [[nodiscard]] static QString defaultPath();

    explicit IniSettingsStore(QString path = defaultPath());

    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString read(const QString &name) const override;
    void save(const QString &name, const QString &value) override;

private:
    void restrictToOwner() const;

    QString m_path;
};
