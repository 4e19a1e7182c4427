// A row of controls that wraps onto further lines when the width does not
// hold them all, each control at its natural size (a toolbar never squeezes
// a button below its text), the items of a line centred on it vertically.
// While everything fits on one line, the items after the push mark
// (`addPush`) stand at the right edge, as behind a flexible space.
//
// Its height follows its width (heightForWidth). Main thread.
#pragma once

#include <QLayout>
#include <QList>

namespace qm::widgets {

class FlowLayout : public QLayout {
    Q_OBJECT

public:
    explicit FlowLayout(QWidget* parent = nullptr, int horizontalSpacing = 6, int verticalSpacing = 4);
    ~FlowLayout() override;

    void addItem(QLayoutItem* item) override;
    // From here on, items stand at the right edge while there is one line.
    void addPush() { push_ = items_.size(); }

    int count() const override { return static_cast<int>(items_.size()); }
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;

    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

private:
    // Lays the items out in `rect` (only measures when `apply` is false);
    // the height used.
    int arrange(const QRect& rect, bool apply) const;

    QList<QLayoutItem*> items_;
    qsizetype push_ = -1;
    int hSpacing_;
    int vSpacing_;
};

}  // namespace qm::widgets
