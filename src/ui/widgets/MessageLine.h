// A model's one-line message where the user reads it: the desktop's text
// size in the warning colour, wrapped rather than cut when it is longer
// than the line, selectable (a file name or a reason can be copied), and
// absent while there is none. Main thread.
#pragma once

#include <QLabel>

#include <optional>

namespace qm::widgets {

class MessageLine : public QLabel {
    Q_OBJECT

public:
    explicit MessageLine(QWidget* parent = nullptr);

    // Shows the text, or hides the line when there is none (or it is empty).
    void setMessage(const std::optional<QString>& text);

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyColour();
};

}  // namespace qm::widgets
