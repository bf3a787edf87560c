#include "CaptureDialogs.h"

#include <QSlider>

namespace {

// GStreamer's channel labels are upper case ("BRIGHTNESS") for some devices.
QString readableLabel(const QString &label)
{
    QString text = label.toLower();
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

QString rateText(const VideoFormat &format)
{
    QString text = format.rateText();
    if (format.jpeg)
        text += QStringLiteral(" (compressed by the camera)");
    return text;
}

} // namespace

// ---- Format -----------------------------------------------------------------

FormatDialog::FormatDialog(const QList<VideoFormat> &formats,
                           const std::optional<VideoFormat> &current, QWidget *parent)
    : QDialog(parent)
    , m_formats(formats)
{
    m_ui.setupUi(this);
    QList<QSize> sizes;
    for (const VideoFormat &f : formats) {
        if (!sizes.contains(f.size)) {
            sizes << f.size;
            m_ui.sizeBox->addItem(f.sizeText(), f.size);
        }
    }
    if (current)
        m_ui.sizeBox->setCurrentIndex(std::max(0, int(sizes.indexOf(current->size))));
    // Wide enough for the rates of every size: the dialog does not grow when
    // the size changes, and a cut text hides whether the camera compresses.
    for (const VideoFormat &f : formats)
        m_ui.rateBox->addItem(rateText(f));
    m_ui.rateBox->setMinimumWidth(m_ui.rateBox->sizeHint().width());
    fillRates(current);
    connect(m_ui.sizeBox, &QComboBox::currentIndexChanged, this, [this] {
        fillRates(chosen());
    });
    connect(m_ui.buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui.buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void FormatDialog::fillRates(const std::optional<VideoFormat> &preferred)
{
    const QSize size = m_ui.sizeBox->currentData().toSize();
    m_ui.rateBox->clear();
    int pick = -1;
    for (int i = 0; i < m_formats.size(); ++i) {
        const VideoFormat &f = m_formats[i];
        if (f.size != size)
            continue;
        m_ui.rateBox->addItem(rateText(f), i);
        // Keep the rate when only the size changes.
        if (preferred && qFuzzyCompare(f.fps(), preferred->fps()) && f.jpeg == preferred->jpeg)
            pick = m_ui.rateBox->count() - 1;
    }
    if (pick >= 0)
        m_ui.rateBox->setCurrentIndex(pick);
}

std::optional<VideoFormat> FormatDialog::chosen() const
{
    bool ok = false;
    const int i = m_ui.rateBox->currentData().toInt(&ok);
    if (!ok || i < 0 || i >= m_formats.size())
        return std::nullopt;
    return m_formats[i];
}

// ---- Source -----------------------------------------------------------------

SourceDialog::SourceDialog(ColorBalanceRef balance, QWidget *parent)
    : QDialog(parent)
    , m_balance(std::move(balance))
{
    m_ui.setupUi(this);
    GstColorBalance *cb = m_balance.get();
    for (const GList *item = cb ? gst_color_balance_list_channels(cb) : nullptr; item;
         item = item->next) {
        auto *channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        const QString label = QString::fromUtf8(channel->label);
        const int value = gst_color_balance_get_value(cb, channel);
        m_initial.insert(label, value);

        auto *slider = new QSlider(Qt::Horizontal, this);
        slider->setObjectName(QStringLiteral("control-") + label.toLower());
        slider->setRange(channel->min_value, channel->max_value);
        slider->setPageStep(std::max(1, (channel->max_value - channel->min_value) / 20));
        slider->setValue(value);
        // The channel belongs to the balance object, which this dialog holds.
        connect(slider, &QSlider::valueChanged, this, [cb, channel](int v) {
            gst_color_balance_set_value(cb, channel, v);
        });
        m_ui.controls->addRow(readableLabel(label) + QLatin1Char(':'), slider);
    }
    connect(m_ui.buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui.buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QMap<QString, int> SourceDialog::values() const
{
    QMap<QString, int> out;
    GstColorBalance *cb = m_balance.get();
    for (const GList *item = cb ? gst_color_balance_list_channels(cb) : nullptr; item;
         item = item->next) {
        auto *channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        out.insert(QString::fromUtf8(channel->label), gst_color_balance_get_value(cb, channel));
    }
    return out;
}

void SourceDialog::reject()
{
    GstColorBalance *cb = m_balance.get();
    for (const GList *item = cb ? gst_color_balance_list_channels(cb) : nullptr; item;
         item = item->next) {
        auto *channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        const QString label = QString::fromUtf8(channel->label);
        if (m_initial.contains(label))
            gst_color_balance_set_value(cb, channel, m_initial.value(label));
    }
    QDialog::reject();
}

// ---- Display ----------------------------------------------------------------

DisplayDialog::DisplayDialog(bool keepProportion, bool mirrored, QWidget *parent)
    : QDialog(parent)
{
    m_ui.setupUi(this);
    m_ui.proportionBox->setChecked(keepProportion);
    m_ui.mirrorBox->setChecked(mirrored);
    connect(m_ui.buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui.buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool DisplayDialog::keepProportion() const
{
    return m_ui.proportionBox->isChecked();
}

bool DisplayDialog::mirrored() const
{
    return m_ui.mirrorBox->isChecked();
}
