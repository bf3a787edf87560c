#pragma once

#include <QMap>
#include <QString>

// The per-user store of the five settings. Value names match without regard
// to case; a missing value reads as the empty string. A save that finds the
// value already stored writes nothing; a failed save throws
// std::runtime_error.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;
    [[nodiscard]] virtual QString read(const QString &name) const = 0;
    virtual void save(const QString &name, const QString &value) = 0;
    // What the user must be told about the store before it is first used (a
    // damaged file kept aside, a file that will not be changed); empty when
    // all is well.
    [[nodiscard]] virtual QString notice() const { return {}; }
};

// INI file, section "Settings", readable and writable by its owner only: it
// holds the mail password in clear text.
//
// Opening the store looks at its file once. A regular file loses any
// permission for group and others (never gains one: a file its owner made
// read-only stays so). A file that cannot be read or parsed is renamed to
// "<name>.damaged-<date and time>" and the store starts empty. Anything else
// at the path (a link, a folder, a read-only file, a damaged file that could
// not be moved) is left exactly as it is: the store then keeps changes in
// memory for this run only, and notice() says why.
//
// A save rewrites only the line of its value, through a new file renamed
// into place: the rest of the file (comments, other sections, values this
// program could not decode) stays byte for byte. When a save fails the store
// throws once and from then on keeps changes in memory.
class IniSettingsStore : public SettingsStore
{
public:
    // $XDG_CONFIG_HOME/Mirabo/Mirabo.conf (~/.config when unset).
    [[nodiscard]] static QString defaultPath();

    explicit IniSettingsStore(QString path = defaultPath());

    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString read(const QString &name) const override;
    void save(const QString &name, const QString &value) override;
    [[nodiscard]] QString notice() const override { return m_notice; }
    // False once changes are kept in memory only.
    [[nodiscard]] bool isSaving() const { return m_saving; }

private:
    void inspectFile();
    void setAside(const QString &reason);
    void keepInMemory(const QString &notice);
    void writeValue(const QString &name, const QString &value) const;

    QString m_path;
    QString m_notice;
    bool m_readable = true;
    bool m_saving = true;
    QMap<QString, QString> m_held;   // by lower-case name, when not saving
};
