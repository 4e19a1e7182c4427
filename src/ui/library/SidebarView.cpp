#include "ui/library/SidebarView.h"

#include <QContextMenuEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QResizeEvent>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/core/SettingsStore.h"
#include "app/library/LibraryModel.h"
#include "app/shell/AppActions.h"
#include "library/LibraryScanner.h"
#include "platform/Volumes.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

QString lastComponent(const fs::path& url) {
    const fs::path name = fs::path(LibraryScanner::standardized(url.string())).filename();
    return name.empty() ? QString::fromStdString(url.string()) : QString::fromStdString(name.string());
}

// A button whose text, a folder's name, is shortened in the middle to the
// column's width rather than widening the column past its edge (the
// tooltip has the whole path).
class FolderButton : public QToolButton {
public:
    using QToolButton::QToolButton;

    void setName(const QString& name) {
        name_ = name;
        setText(name);
        fit();
    }
    const QString& name() const { return name_; }

    QSize minimumSizeHint() const override {
        QSize least = QToolButton::minimumSizeHint();
        if (!name_.isEmpty()) least.setWidth(chrome() + fontMetrics().horizontalAdvance(QStringLiteral("\u2026")) * 3);
        return least;
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QToolButton::resizeEvent(event);
        fit();
    }

private:
    // The width of all but the text: icon, padding, frame.
    int chrome() const { return QToolButton::sizeHint().width() - fontMetrics().horizontalAdvance(text()); }
    void fit() {
        if (name_.isEmpty()) return;
        const QString shown = fontMetrics().elidedText(name_, Qt::ElideMiddle, std::max(width() - chrome(), 0));
        if (shown != text()) setText(shown);
    }

    QString name_;
};

// A full-width flat button whose label sits at the leading edge.
QToolButton* flatButton(QWidget* parent) {
    auto* button = new FolderButton(parent);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QToolButton { text-align: left; border: none; padding: 3px 6px; }"));
    return button;
}

void tint(QWidget* widget, bool accent) {
    widget->setProperty("tinted", accent);
    const QPalette palette = widget->palette();
    style::setTextColour(widget, accent ? style::accent(palette) : style::label(palette));
}

}  // namespace

SidebarView::SidebarView(LibraryModel& library, SettingsStore& settings, AppActions& actions, QWidget* parent)
    : QWidget(parent), library_(library), settings_(settings), actions_(actions) {
    outer_ = new QVBoxLayout(this);
    outer_->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer_->addWidget(scroll);
    setObjectName(QStringLiteral("sidebar"));

    const auto redraw = [this] { rebuild(); };
    connect(&settings_, &SettingsStore::valueChanged, this, redraw);
    connect(&library_, &LibraryModel::indexingChanged, this, redraw);
    connect(&library_, &LibraryModel::indexedCountChanged, this, redraw);
    connect(&library_, &LibraryModel::categoriesChanged, this, redraw);
    connect(&library_, &LibraryModel::librariesChanged, this, redraw);
    connect(&library_, &LibraryModel::categoryChanged, this, redraw);
    connect(&library_, &LibraryModel::libraryFilterChanged, this, redraw);
    connect(&library_, &LibraryModel::folderChanged, this, redraw);
    rebuild();
}

QString SidebarView::statusText(bool indexing, qint64 indexedCount, const QLocale& locale) {
    if (indexing) return QStringLiteral("Indexing…");
    if (indexedCount >= 1) return locale.toString(indexedCount) + QStringLiteral(" files indexed");
    return {};
}

QString SidebarView::rootIcon(const std::string& storedRoot) {
    return Volumes::isVolumePath(storedRoot) ? QStringLiteral("externaldrive.connected.to.line.below")
                                             : QStringLiteral("books.vertical");
}

QString SidebarView::placeIcon(const fs::path& url) {
    return Volumes::isVolumePath(url.string()) ? QStringLiteral("externaldrive") : QStringLiteral("folder");
}

void SidebarView::rebuild() {
    // The clicked button may be the one whose action led here: the old
    // content goes when control is back in the event loop.
    auto* scroll = static_cast<QScrollArea*>(outer_->itemAt(0)->widget());
    if (content_) {
        QWidget* old = scroll->takeWidget();
        old->hide();
        old->deleteLater();
    }
    auto* content = new QWidget;
    content_ = content;
    layout_ = new QVBoxLayout(content);
    layout_->setContentsMargins(8, 8, 8, 8);
    layout_->setSpacing(1);

    const AppSettings& settings = settings_.value();
    const size_t limit = size_t(settings.expertMode ? kExpertFacetLimit : kFacetLimit);

    // Library: the roots, "Add Folder…", the status line.
    layout_->addWidget(sectionTitle(QString::fromUtf8(kSections[0])));
    for (const std::string& root : settings.libraryRoots) {
        QAbstractButton* button = row(fs::path(root), rootIcon(root), QStringLiteral("root"));
        button->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(button, &QWidget::customContextMenuRequested, this, [this, button, root](const QPoint& pos) {
            QMenu* menu = rootMenu(root, this);
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(button->mapToGlobal(pos));
        });
        layout_->addWidget(button);
    }
    QToolButton* add = flatButton(content);
    add->setText(QStringLiteral("Add Folder…"));
    add->setIcon(icons::symbol(QStringLiteral("plus")));
    add->setProperty("kind", QStringLiteral("add"));
    add->setProperty("symbol", QStringLiteral("plus"));
    connect(add, &QToolButton::clicked, this, [this] { actions_.addLibraryFolder(); });
    layout_->addWidget(add);
    const QString statusLine = statusText(!library_.indexing().empty(), library_.indexedCount(), QLocale());
    if (!statusLine.isEmpty()) {
        auto* status = new QLabel(content);
        status->setObjectName(QStringLiteral("status"));
        const bool indexing = !library_.indexing().empty();
        if (indexing) {
            status->setTextFormat(Qt::RichText);
            const QPixmap glass = icons::ownPixmap(QStringLiteral("hourglass"), 12,
                                                   style::secondaryLabel(palette()), devicePixelRatioF());
            auto* row = new QWidget(content);
            auto* h = new QHBoxLayout(row);
            h->setContentsMargins(6, 2, 6, 2);
            h->setSpacing(4);
            auto* icon = new QLabel(row);
            icon->setPixmap(glass);
            h->addWidget(icon);
            status->setText(statusLine);
            status->setParent(row);
            h->addWidget(status, 1);
            style::setTextColour(status, style::secondaryLabel(palette()));
            layout_->addWidget(row);
        } else {
            status->setText(statusLine);
            status->setContentsMargins(6, 2, 6, 2);
            style::setTextStyle(status, style::TextStyle::caption);
            style::setTextColour(status, style::secondaryLabel(palette()));
            layout_->addWidget(status);
        }
    }

    // The facets: the model's order (most files first), limited.
    const auto facets = [&](const char* title, const std::vector<FacetCount>& list,
                            const std::optional<QString>& current, const QString& kind,
                            void (LibraryModel::*set)(const std::optional<QString>&)) {
        if (list.empty()) return;
        layout_->addSpacing(8);
        layout_->addWidget(sectionTitle(QString::fromUtf8(title)));
        for (size_t i = 0; i < std::min(limit, list.size()); ++i) {
            const QString value = list[i].value;
            const bool selected = current == value;
            layout_->addWidget(facet(value, list[i].count, selected, kind, [this, value, selected, set] {
                (library_.*set)(selected ? std::nullopt : std::optional<QString>(value));
            }));
        }
    };
    facets(kSections[1], library_.categories(), library_.category(), QStringLiteral("category"),
           &LibraryModel::setCategory);
    facets(kSections[2], library_.libraries(), library_.libraryFilter(), QStringLiteral("library"),
           &LibraryModel::setLibraryFilter);

    // Places.
    layout_->addSpacing(8);
    layout_->addWidget(sectionTitle(QString::fromUtf8(kSections[3])));
    for (const fs::path& place : library_.places())
        layout_->addWidget(row(place, placeIcon(place), QStringLiteral("place")));
    layout_->addStretch(1);

    scroll->setWidget(content);
}

QLabel* SidebarView::sectionTitle(const QString& title) {
    auto* label = new QLabel(title, content_);
    label->setObjectName(QStringLiteral("section"));
    label->setContentsMargins(6, 4, 6, 2);
    style::setTextStyle(label, style::TextStyle::caption);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    style::setTextColour(label, style::secondaryLabel(palette()));
    return label;
}

QAbstractButton* SidebarView::row(const fs::path& url, const QString& icon, const QString& kind) {
    QToolButton* button = flatButton(content_);
    static_cast<FolderButton*>(button)->setName(lastComponent(url));
    button->setIcon(icons::symbol(icon));
    button->setToolTip(QString::fromStdString(url.string()));
    button->setProperty("kind", kind);
    button->setProperty("value", QString::fromStdString(url.string()));
    button->setProperty("symbol", icon);
    tint(button, isListed(url));
    connect(button, &QToolButton::clicked, this, [this, url] { listFolder(url); });
    return button;
}

QAbstractButton* SidebarView::facet(const QString& name, qint64 count, bool selected, const QString& kind,
                                    std::function<void()> action) {
    auto* button = new QToolButton(content_);
    button->setAutoRaise(true);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setCursor(Qt::PointingHandCursor);
    button->setProperty("kind", kind);
    button->setProperty("value", name);
    button->setToolTip(name);
    auto* h = new QHBoxLayout(button);
    h->setContentsMargins(6, 2, 6, 2);
    auto* text = new QLabel(button);
    text->setText(name);
    text->setAttribute(Qt::WA_TransparentForMouseEvents);
    text->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* number = new QLabel(QLocale().toString(count), button);
    number->setAttribute(Qt::WA_TransparentForMouseEvents);
    style::setTextStyle(number, style::TextStyle::caption);
    h->addWidget(text, 1);
    h->addWidget(number, 0, Qt::AlignVCenter);
    button->setMinimumHeight(text->sizeHint().height() + 6);
    tint(button, selected);
    tint(text, selected);
    style::setTextColour(number, selected ? style::accent(palette()) : style::secondaryLabel(palette()));
    connect(button, &QToolButton::clicked, this, [action = std::move(action)] { action(); });
    return button;
}

void SidebarView::listFolder(const fs::path& url) {
    library_.setQuery(QString());
    library_.setCategory(std::nullopt);
    library_.setLibraryFilter(std::nullopt);
    library_.open(url);
}

bool SidebarView::isListed(const fs::path& url) const {
    const auto& folder = library_.folder();
    return folder && LibraryScanner::standardized(folder->string()) == LibraryScanner::standardized(url.string());
}

QMenu* SidebarView::rootMenu(const std::string& root, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->addAction(QStringLiteral("Rescan"), this, [this] { library_.rescanAll(); });
    menu->addAction(QStringLiteral("Remove from Library"), this, [this, root] { library_.removeRoot(root); });
    return menu;
}

QList<QAbstractButton*> SidebarView::buttons(const QString& kind) const {
    QList<QAbstractButton*> out;
    if (!content_) return out;
    for (QAbstractButton* b : content_->findChildren<QAbstractButton*>())
        if (b->property("kind").toString() == kind) out.append(b);
    // findChildren answers creation order, which is the column's order.
    return out;
}

QAbstractButton* SidebarView::button(const QString& kind, const QString& value) const {
    for (QAbstractButton* b : buttons(kind))
        if (b->property("value").toString() == value) return b;
    return nullptr;
}

QStringList SidebarView::sectionTitles() const {
    QStringList out;
    if (content_)
        for (QLabel* l : content_->findChildren<QLabel*>(QStringLiteral("section"))) out.append(l->text());
    return out;
}

QString SidebarView::status() const {
    if (!content_) return {};
    QLabel* label = content_->findChild<QLabel*>(QStringLiteral("status"));
    return label ? label->text() : QString();
}

}  // namespace qm
