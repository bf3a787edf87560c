#pragma once

// The capture component's three device dialogs. Each works on values handed
// in and reads back what the user chose; only the source dialog touches the
// device itself, live, and puts the old values back on Cancel.

#include "CaptureDevices.h"
#include "GstHandles.h"

#include <gst/video/colorbalance.h>

#include <QDialog>
#include <QMap>

#include "ui_DisplayDialog.h"
#include "ui_FormatDialog.h"
#include "ui_SourceDialog.h"

using ColorBalanceRef = gsthandle::Object<GstColorBalance>;

class FormatDialog : public QDialog
{
    Q_OBJECT
public:
    FormatDialog(const QList<VideoFormat> &formats, const std::optional<VideoFormat> &current,
                 QWidget *parent = nullptr);
    [[nodiscard]] std::optional<VideoFormat> chosen() const;

private:
    void fillRates(const std::optional<VideoFormat> &preferred);

    Ui::FormatDialog m_ui;
    QList<VideoFormat> m_formats;
};

class SourceDialog : public QDialog
{
    Q_OBJECT
public:
    SourceDialog(ColorBalanceRef balance, QWidget *parent = nullptr);
    // The channels' values by label.
    [[nodiscard]] QMap<QString, int> values() const;

    void reject() override;

private:
    Ui::SourceDialog m_ui;
    ColorBalanceRef m_balance;
    QMap<QString, int> m_initial;
};

class DisplayDialog : public QDialog
{
    Q_OBJECT
public:
    DisplayDialog(bool keepProportion, bool mirrored, QWidget *parent = nullptr);
    [[nodiscard]] bool keepProportion() const;
    [[nodiscard]] bool mirrored() const;

private:
    Ui::DisplayDialog m_ui;
};
