// The plan of the monitor's output speakers around the listener: the
// speakers of the effective output profile (L and R on headphones), each a
// button at its direction, on the outer ring or, above 20 degrees of
// elevation, on the inner ring; LFE below the listener, lower still where
// tiles lie there, so that no tile covers another. It is a plan seen
// from above with the front at the top: L is left of the listener, R right,
// surrounds and heights alike. A click solos a speaker (again: unsolos it),
// an Alt-click mutes it (again: unmutes it), the modifier read from the
// click's own event; since window managers may take Alt-clicks for moving
// windows, the speaker's context menu (right-click) solos and mutes too. A soloed speaker is
// drawn yellow, a muted one or, while anything is soloed, one that is not
// soloed, grey.
//
// It keeps nothing of its own: every click is one write of the engine's
// state, and refresh() (on every state or profile change) only restyles
// the buttons, making them anew only when the shown speakers change.
// Buttons are named "speaker.<raw value>". Main thread only.
#pragma once

#include <QAbstractButton>
#include <QPointF>
#include <QSizeF>
#include <QWidget>

#include <vector>

#include "app/monitor/MonitorEngine.h"

class QMenu;

namespace qm {

class SpeakerButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Look { normal, soloed, silent };

    SpeakerButton(SpeakerID speaker, const QString& label, QWidget* parent);
    SpeakerID speaker() const { return speaker_; }
    Look look() const { return look_; }
    void setLook(Look look);
    // The modifiers held during the click being delivered.
    Qt::KeyboardModifiers clickModifiers() const { return modifiers_; }
    QSize sizeHint() const override { return {44, 28}; }

signals:
    // Its context menu is asked for, at a global position.
    void menuRequested(const QPoint& at);

protected:
    void contextMenuEvent(QContextMenuEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    SpeakerID speaker_;
    Look look_ = Look::normal;
    Qt::KeyboardModifiers modifiers_;
};

class SpeakerMap : public QWidget {
    Q_OBJECT
public:
    explicit SpeakerMap(MonitorEngine& monitor, QWidget* parent = nullptr);

    // The speakers drawn for a profile, in layout order.
    static std::vector<SpeakerID> shownSpeakers(const OutputProfile& profile);
    // The outer ring's radius in a map of `size`.
    static double ringRadius(QSizeF size);
    // Where the centre of `speaker`'s button lies in a map of `size` (the
    // LFE's moves down from there off any tile it would cover).
    static QPointF position(SpeakerID speaker, const std::vector<SpeakerID>& shown, QSizeF size);

    const std::vector<SpeakerButton*>& buttons() const { return buttons_; }
    SpeakerButton* button(SpeakerID speaker) const;
    // The context menu of a speaker: "Solo" and "Mute", checked as the state
    // is now; each toggles its set as a click and an Alt-click do.
    QMenu* contextMenu(SpeakerID speaker);

public slots:
    // Reads the profile and the state again.
    void refresh();

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void clicked(SpeakerButton* button);
    void toggleSolo(SpeakerID speaker);
    void toggleMute(SpeakerID speaker);
    void place();

    MonitorEngine& monitor_;
    std::vector<SpeakerID> shown_;
    std::vector<SpeakerButton*> buttons_;
};

}  // namespace qm
