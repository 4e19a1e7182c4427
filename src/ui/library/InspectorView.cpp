#include "ui/library/InspectorView.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QTextBlock>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <optional>

#include "app/core/SettingsStore.h"
#include "app/library/LibraryModel.h"
#include "library/Catalog.h"
#include "library/LibraryScanner.h"
#include "library/MetaIO.h"
#include "library/SoundMeta.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

const std::map<std::string, const char*>& labels() {
    static const std::map<std::string, const char*> table = {
        {"DESCRIPTION", "Description"}, {"CATEGORY", "Category"},
        {"SUBCATEGORY", "Subcategory"}, {"CATID", "CatID"},
        {"FXNAME", "FX name"},          {"KEYWORDS", "Keywords"},
        {"LIBRARY", "Library"},         {"DESIGNER", "Designer"},
        {"SOURCEID", "Source ID"},      {"MICROPHONE", "Microphone"},
        {"MICPERSPECTIVE", "Mic perspective"}, {"LOCATION", "Location"},
        {"NOTES", "Notes"},             {"TRACKTITLE", "Track title"},
        {"USERCATEGORY", "User category"},
    };
    return table;
}

bool multiLine(const std::string& tag) { return tag == "DESCRIPTION" || tag == "NOTES"; }

// A multi-line field is as high as its text, between its line limits.
void fitLines(QPlainTextEdit* edit, int minLines, int maxLines) {
    int lines = 0;
    for (QTextBlock b = edit->document()->begin(); b.isValid(); b = b.next())
        lines += b.layout() && b.layout()->lineCount() > 0 ? b.layout()->lineCount() : 1;
    lines = std::clamp(lines, minLines, maxLines);
    const int lineHeight = edit->fontMetrics().lineSpacing();
    const int frame = 2 * edit->frameWidth() + int(2 * edit->document()->documentMargin());
    edit->setFixedHeight(lines * lineHeight + frame);
}

}  // namespace

InspectorView::InspectorView(LibraryModel& library, SettingsStore& settings, std::vector<fs::path> urls,
                             QWidget* parent)
    : QWidget(parent), library_(library), settings_(settings), urls_(std::move(urls)) {
    setObjectName(QStringLiteral("inspector"));
    setMinimumWidth(kMinimumWidth);
    setMaximumWidth(kMaximumWidth);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    outer->addWidget(scroll);
    content_ = new QWidget;
    // The form takes the column's width; its rows shrink rather than
    // run past the edge.
    content_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    scroll->setWidget(content_);

    // The platform's Save key, wherever the focus is in the window.
    auto* shortcut = new QShortcut(QKeySequence::Save, this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] {
        if (save_->isEnabled()) save();
    });

    expert_ = settings_.value().expertMode;
    connect(&settings_, &SettingsStore::valueChanged, this, [this] {
        if (settings_.value().expertMode == expert_) return;
        expert_ = settings_.value().expertMode;
        build();
    });
    build();
    load();
}

QString InspectorView::label(const std::string& tag) {
    const auto it = labels().find(tag);
    return it == labels().end() ? QString::fromStdString(tag) : QString::fromUtf8(it->second);
}

std::vector<std::string> InspectorView::tags(bool expertMode) {
    if (!expertMode) return {"DESCRIPTION", "CATEGORY", "SUBCATEGORY", "KEYWORDS", "LIBRARY"};
    std::vector<std::string> all;
    for (const auto& row : SoundMeta::ixmlTags()) all.emplace_back(row.tag);
    return all;
}

QString InspectorView::title(const std::vector<fs::path>& urls) {
    if (urls.size() == 1) return QString::fromStdString(urls.front().filename().string());
    return QString::number(urls.size()) + QStringLiteral(" files");
}

QString InspectorView::renameTitle(size_t count) {
    return QStringLiteral("Rename ") + QString::number(count) + QStringLiteral(" file(s) to their UCS names?");
}

void InspectorView::setUrls(std::vector<fs::path> urls) {
    if (urls == urls_) return;
    urls_ = std::move(urls);
    title_->setText(title(urls_));
    load();
}

void InspectorView::build() {
    delete content_->layout();
    for (QWidget* child : content_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) delete child;
    fields_.clear();
    stars_.clear();

    form_ = new QVBoxLayout(content_);
    form_->setContentsMargins(12, 12, 12, 12);
    form_->setSpacing(10);

    title_ = new QLabel(title(urls_), content_);
    title_->setWordWrap(true);
    style::setTextStyle(title_, style::TextStyle::headline);
    title_->setMaximumHeight(2 * title_->fontMetrics().lineSpacing() + 2);
    form_->addWidget(title_);

    for (const std::string& tag : tags(expert_)) {
        auto* group = new QWidget(content_);
        auto* v = new QVBoxLayout(group);
        v->setContentsMargins(0, 0, 0, 0);
        v->setSpacing(3);
        auto* caption = new QLabel(label(tag), group);
        style::setTextStyle(caption, style::TextStyle::caption);
        style::setTextColour(caption, style::secondaryLabel(palette()));
        v->addWidget(caption);
        QWidget* field = nullptr;
        if (multiLine(tag)) {
            auto* edit = new QPlainTextEdit(group);
            edit->setTabChangesFocus(true);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
            const int minLines = tag == "DESCRIPTION" ? 2 : 1;
            const int maxLines = tag == "DESCRIPTION" ? 5 : 3;
            fitLines(edit, minLines, maxLines);
            connect(edit, &QPlainTextEdit::textChanged, this, [this, edit, tag, minLines, maxLines] {
                fitLines(edit, minLines, maxLines);
                if (!loading_) userEdited(tag, edit->toPlainText().toStdString());
            });
            field = edit;
        } else {
            auto* edit = new QLineEdit(group);
            // A pasted text is taken whole, however long.
            edit->setMaxLength(std::numeric_limits<int>::max());
            connect(edit, &QLineEdit::textEdited, this,
                    [this, tag](const QString& text) { userEdited(tag, text.toStdString()); });
            field = edit;
        }
        field->setObjectName(QString::fromStdString(tag));
        v->addWidget(field);
        fields_[tag] = field;
        form_->addWidget(group);
    }

    // The rating row.
    auto* ratingRow = new QHBoxLayout;
    ratingRow->setSpacing(2);
    auto* ratingLabel = new QLabel(QStringLiteral("Rating"), content_);
    style::setTextStyle(ratingLabel, style::TextStyle::caption);
    style::setTextColour(ratingLabel, style::secondaryLabel(palette()));
    ratingRow->addWidget(ratingLabel);
    ratingRow->addStretch(1);
    for (int i = 1; i <= 5; ++i) {
        auto* star = new QToolButton(content_);
        star->setAutoRaise(true);
        star->setObjectName(QStringLiteral("star%1").arg(i));
        star->setAccessibleName(i == 1 ? QStringLiteral("1 star") : QStringLiteral("%1 stars").arg(i));
        connect(star, &QToolButton::clicked, this, [this, i] { clickStar(i); });
        stars_.push_back(star);
        ratingRow->addWidget(star);
    }
    form_->addLayout(ratingRow);

    // The buttons.
    auto* buttons = new QHBoxLayout;
    save_ = new QPushButton(QStringLiteral("Save"), content_);
    save_->setDefault(true);
    save_->setToolTip(QKeySequence(QKeySequence::Save).toString(QKeySequence::NativeText));
    connect(save_, &QPushButton::clicked, this, &InspectorView::save);
    revert_ = new QPushButton(QStringLiteral("Revert"), content_);
    connect(revert_, &QPushButton::clicked, this, &InspectorView::load);
    buttons->addWidget(save_);
    buttons->addWidget(revert_);
    buttons->addStretch(1);
    form_->addLayout(buttons);
    rename_ = nullptr;
    if (expert_) {
        // A row of its own: beside Save and Revert it would not fit the
        // column at its narrowest.
        auto* renameRow = new QHBoxLayout;
        rename_ = new QPushButton(QStringLiteral("Rename to UCS"), content_);
        rename_->setToolTip(QStringLiteral("Renames to CatID_FXName_Designer_Source"));
        connect(rename_, &QPushButton::clicked, this, &InspectorView::askRename);
        renameRow->addWidget(rename_);
        renameRow->addStretch(1);
        form_->addLayout(renameRow);
    }

    auto* footer = new QLabel(QString::fromUtf8(kFooter), content_);
    footer->setWordWrap(true);
    style::setTextStyle(footer, style::TextStyle::caption2);
    style::setTextColour(footer, style::secondaryLabel(palette()));
    form_->addWidget(footer);
    form_->addStretch(1);

    showValues();
    showStars();
    updateButtons();
}

void InspectorView::load() {
    std::vector<SoundMeta> metas;
    metas.reserve(urls_.size());
    const std::shared_ptr<Catalog>& catalog = library_.catalog();
    for (const fs::path& url : urls_) {
        std::optional<SoundMeta> meta;
        if (catalog)
            if (auto row = catalog->row(LibraryScanner::canonical(url.string()))) meta = row->meta();
        if (!meta) {
            try {
                meta = MetaIO::read(url);
            } catch (const std::exception&) {
                meta = SoundMeta{};  // unreadable or gone: an empty record
            }
        }
        metas.push_back(std::move(*meta));
    }

    values_.clear();
    mixed_.clear();
    for (const auto& row : SoundMeta::ixmlTags()) {
        const std::string tag(row.tag);
        std::set<std::string> distinct;
        for (const SoundMeta& m : metas) {
            distinct.insert(m.*row.field);
            if (distinct.size() > 1) break;
        }
        if (distinct.size() == 1) {
            values_[tag] = *distinct.begin();
        } else {
            mixed_.insert(tag);
            values_[tag] = std::string();
        }
    }
    edited_.clear();
    const bool sameRating = std::all_of(metas.begin(), metas.end(),
                                        [&](const SoundMeta& m) { return m.rating == metas.front().rating; });
    rating_ = !metas.empty() && sameRating ? int(std::clamp<int64_t>(metas.front().rating, 0, 5)) : 0;
    ratingEdited_ = false;

    showValues();
    showStars();
    updateButtons();
}

void InspectorView::save() {
    std::map<std::string, std::string> changes;
    for (const std::string& tag : edited_) {
        const auto it = values_.find(tag);
        changes[tag] = it == values_.end() ? std::string() : it->second;
    }
    const std::optional<int64_t> rating = ratingEdited_ ? std::optional<int64_t>(rating_) : std::nullopt;
    library_.save(changes, rating, urls_);
    edited_.clear();
    ratingEdited_ = false;
    for (const auto& [tag, field] : fields_) {
        const QString text = mixed_.count(tag) ? QString::fromUtf8(kMixed) : QString();
        if (auto* line = qobject_cast<QLineEdit*>(field)) line->setPlaceholderText(text);
        if (auto* plain = qobject_cast<QPlainTextEdit*>(field)) plain->setPlaceholderText(text);
    }
    updateButtons();
}

void InspectorView::askRename() {
    confirmRename_ = true;
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Question);
    box->setWindowTitle(renameTitle(urls_.size()));
    box->setText(renameTitle(urls_.size()));
    box->setInformativeText(QStringLiteral("DAW sessions that reference the old names will need to relink."));
    QPushButton* rename = box->addButton(QStringLiteral("Rename"), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(rename);
    confirm_ = box;
    connect(box, &QMessageBox::finished, this, [this, box, rename] {
        confirmRename_ = false;
        if (box->clickedButton() == rename) library_.renameToUCS(urls_);
    });
    box->open();
}

QWidget* InspectorView::field(const std::string& tag) const {
    const auto it = fields_.find(tag);
    return it == fields_.end() ? nullptr : it->second;
}

QString InspectorView::placeholder(const std::string& tag) const {
    QWidget* f = field(tag);
    if (auto* line = qobject_cast<QLineEdit*>(f)) return line->placeholderText();
    if (auto* plain = qobject_cast<QPlainTextEdit*>(f)) return plain->placeholderText();
    return {};
}

QAbstractButton* InspectorView::star(int i) const {
    return i >= 1 && i <= int(stars_.size()) ? stars_[size_t(i - 1)] : nullptr;
}

void InspectorView::userEdited(const std::string& tag, const std::string& text) {
    values_[tag] = text;
    edited_.insert(tag);
    QWidget* f = field(tag);
    if (auto* line = qobject_cast<QLineEdit*>(f)) line->setPlaceholderText({});
    if (auto* plain = qobject_cast<QPlainTextEdit*>(f)) plain->setPlaceholderText({});
    updateButtons();
}

void InspectorView::clickStar(int i) {
    rating_ = rating_ == i ? 0 : i;
    ratingEdited_ = true;
    showStars();
    updateButtons();
}

void InspectorView::showValues() {
    loading_ = true;
    for (const auto& [tag, field] : fields_) {
        const auto it = values_.find(tag);
        const QString text = it == values_.end() ? QString() : QString::fromStdString(it->second);
        const QString hint = mixed_.count(tag) && !edited_.count(tag) ? QString::fromUtf8(kMixed) : QString();
        if (auto* line = qobject_cast<QLineEdit*>(field)) {
            line->setText(text);
            line->setCursorPosition(0);
            line->setPlaceholderText(hint);
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(field)) {
            if (plain->toPlainText() != text) plain->setPlainText(text);
            plain->setPlaceholderText(hint);
        }
    }
    loading_ = false;
}

void InspectorView::showStars() {
    for (int i = 1; i <= int(stars_.size()); ++i) {
        const bool filled = rating_ >= i;
        QToolButton* star = stars_[size_t(i - 1)];
        star->setIcon(filled ? icons::symbol(QStringLiteral("star.fill"), style::yellow())
                             : icons::symbol(QStringLiteral("star"), style::secondaryLabel(palette())));
        star->setProperty("filled", filled);
    }
}

void InspectorView::updateButtons() {
    const bool any = !edited_.empty() || ratingEdited_;
    save_->setEnabled(any);
    revert_->setEnabled(any);
}

}  // namespace qm
