// The editor of one output profile in the settings window's Outputs tab:
// name, type (speakers or headphones rendered binaurally), device, layout,
// the speaker map (device channel and trim per speaker, "Sequential from
// 1") and the two headphone channels.
//
// The editor holds no profile of its own: it is bound to a profile id and
// reads that element of the settings on every change the store announces;
// every control writes the element back through SettingsStore::update, so
// each keystroke, pick and step is stored and announced at once. Rows are
// rebuilt only when the layout or a picker's item count changes, so a
// control being used is never replaced under the user.
//
// Each speaker's row says where it plays on the profile's device: the
// channel and that channel's position ("Out 9 (TFL)"), or the channels a
// speaker the device has no position for is folded onto. A profile not
// routed by hand plays by the device's positions when it names them
// (MixBuilder::speakerRouting), and its pickers show those channels; picking
// one routes the profile by hand from what they showed.
//
// Controls carry object names: "name", "kind", "device", "layout",
// "headphoneLeft", "headphoneRight", "speakerMap", "sequential", and per
// speaker i "speaker:i", "output:i", "plays:i", "trim:i". Main thread only.
#pragma once

#include <QDoubleSpinBox>
#include <QScrollArea>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/OutputProfile.h"
#include "playback/AudioDevices.h"
#include "platform/Uuid.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;

namespace qm {

class SettingsStore;

// A trim in dB with a sign always shown and a point for decimals, whatever
// the desktop's locale ("+0.0 dB", "-3.5 dB"); typed text is read the same
// way.
class TrimSpinBox : public QDoubleSpinBox {
    Q_OBJECT

public:
    explicit TrimSpinBox(QWidget* parent = nullptr);

    static QString format(double dB);

    QString textFromValue(double value) const override;
    double valueFromText(const QString& text) const override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;

private:
    // The number in a typed text, without sign rules; nothing when it holds none.
    static std::optional<double> parse(const QString& text);
};

class ProfileEditor : public QScrollArea {
    Q_OBJECT

public:
    explicit ProfileEditor(SettingsStore& settings, QWidget* parent = nullptr);

    // Binds the editor to the profile with this id, offering these devices.
    void bind(const Uuid& id, std::vector<AudioOutputDevice> devices);
    const std::optional<Uuid>& boundID() const { return id_; }

    // "JACK: Desk  (28 out)".
    static QString deviceLabel(const AudioOutputDevice& device);
    // The profile's device: the listed device with its UID, else (system
    // output, or a device not present now) the first listed, which is the
    // server's default output; none when none is listed.
    static const AudioOutputDevice* deviceOf(const OutputProfile& profile,
                                             const std::vector<AudioOutputDevice>& devices);
    // The channels of the profile's device; 2 when none is listed.
    static int channelCount(const OutputProfile& profile, const std::vector<AudioOutputDevice>& devices);
    // The tooltips of the device's channels' items, in channel order: where
    // the device plays each, when its system says ("Plays at Lss on this
    // device"); else empty.
    static QStringList channelPlaces(const AudioOutputDevice* device);
    // How many "Out k" items a channel picker offers: enough for the device
    // and for the stored channel, at least 2, at most the channels an
    // output stream can have.
    static int channelItems(int channelCount, int64_t current);
    // The stored channel of speaker i: missing entries read sequential.
    static int64_t outputAt(const OutputProfile& profile, size_t i);
    static double trimAt(const OutputProfile& profile, size_t i);
    // Writes speaker i's channel or trim, first filling missing entries
    // (sequential channels, 0 dB trims) up to i.
    static void setOutput(OutputProfile& profile, size_t i, int64_t channel);
    static void setTrim(OutputProfile& profile, size_t i, double dB);
    // A new layout: channels 0 ..< n, n zero trims.
    static void changeLayout(OutputProfile& profile, LayoutID layout);
    // Speaker k to channel k; trims kept.
    static void sequentialMap(OutputProfile& profile);
    // Where each speaker of the profile's layout plays on `device` (none:
    // a device of `channelCount` channels that says nothing of positions):
    // "Out 9 (TFL)", "Out 1 (FL), Out 2 (FR)" for a fold, "Off", or "Not on
    // this device".
    static QStringList speakerPlaces(const OutputProfile& profile, const AudioOutputDevice* device,
                                     int channelCount);
    // The channel each speaker plays on, the strongest of a fold; -1 for none.
    static std::vector<int64_t> playingChannels(const OutputProfile& profile, const AudioOutputDevice* device,
                                                int channelCount);

public slots:
    void refresh();

private:
    const OutputProfile* profile() const;
    void write(const std::function<void(OutputProfile&)>& change);
    QComboBox* channelPicker(const char* name, QWidget* parent);
    // Sets a picker's items ("Off", then `items` channels, each with its
    // tooltip from `places`) and selection.
    static void showChannel(QComboBox* picker, int items, int64_t channel, const QStringList& places);
    void rebuildSpeakers(const OutputProfile& p);

    SettingsStore& settings_;
    std::optional<Uuid> id_;
    std::vector<AudioOutputDevice> devices_;

    QLineEdit* name_;
    QComboBox* kind_;
    QComboBox* device_;
    QComboBox* layout_;
    QLabel* layoutLabel_;
    QComboBox* left_;
    QComboBox* right_;
    QLabel* leftLabel_;
    QLabel* rightLabel_;
    QWidget* speakerMap_;
    QGridLayout* grid_;
    std::optional<LayoutID> builtLayout_;
    std::vector<QWidget*> rowWidgets_;
    std::vector<QComboBox*> outputs_;
    std::vector<QLabel*> places_;
    std::vector<TrimSpinBox*> trims_;
};

}  // namespace qm
