#include "app/PagesTab.h"

#include "conversion/PageSelection.h"
#include "pool/Thumbnails.h"

#include <QItemSelection>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QVBoxLayout>

#include <algorithm>

namespace folioxa {

namespace {

constexpr int kPageRole = Qt::UserRole;

QIcon Box(const QColor& fill, const QString& mark) {
    QPixmap box(TPagesTab::kFit * 3 / 4, TPagesTab::kFit);
    box.fill(fill);
    QPainter painter(&box);
    painter.setPen(QColor(0x99, 0x99, 0x99));
    painter.drawRect(box.rect().adjusted(0, 0, -1, -1));
    if (!mark.isEmpty()) {
        painter.setPen(QColor(0xB0, 0x30, 0x30));
        painter.drawText(box.rect(), Qt::AlignCenter, mark);
    }
    return QIcon(box);
}

QString PageTip(int page) {
    return "Page " + QString::number(page);
}

} // namespace

TPagesTab::TPagesTab(QWidget* parent)
    : QWidget(parent), FList(new QListWidget(this)), FNote(new QLabel(this)),
      FPlaceholder(Box(QColor(0xF4, 0xF4, 0xF4), {})), FFailed(Box(QColor(0xF4, 0xF4, 0xF4), "?")) {
    FList->setObjectName("PageThumbnails");
    FList->setViewMode(QListView::IconMode);
    FList->setMovement(QListView::Static);
    FList->setResizeMode(QListView::Adjust);
    FList->setUniformItemSizes(true);
    FList->setIconSize({kFit, kFit});
    FList->setGridSize({kFit + 24, kFit + 30});
    // A click adds its page or takes it out, as the selection's text does.
    FList->setSelectionMode(QAbstractItemView::MultiSelection);
    FNote->setObjectName("PageThumbnailsNote");
    FNote->setTextFormat(Qt::PlainText);
    FNote->setWordWrap(true);
    FNote->hide();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FNote);
    layout->addWidget(FList);

    // The view settles (scrolling, resizing) before the worker is told what is in it.
    FViewChanged.setSingleShot(true);
    FViewChanged.setInterval(0);
    connect(&FViewChanged, &QTimer::timeout, this, [this] { WantVisible(); });
    connect(FList->verticalScrollBar(), &QScrollBar::valueChanged, &FViewChanged,
            qOverload<>(&QTimer::start));
    connect(FList, &QListWidget::itemSelectionChanged, this, [this] { Chosen(); });
}

TPagesTab::~TPagesTab() = default;

void TPagesTab::SetDocument(const std::string& path, const std::string& password, int pageCount) {
    StopWorker();
    FPath = path;
    FPassword = password;
    FPageCount = std::max(pageCount, 0);
    FBroken = false;
    FKept.clear();
    FKeptAt.clear();
    FFailedPages.clear();
    FReversed.clear();
    FNote->hide();
    const bool updating = std::exchange(FUpdating, true);
    FList->clear();
    // Listed at once, pictures to come: a thousand rows cost a thousand small items.
    for (int page = 1; page <= FPageCount; ++page) {
        auto* item = new QListWidgetItem(FPlaceholder, QString::number(page));
        item->setData(kPageRole, page);
        item->setToolTip(PageTip(page));
        item->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
        FList->addItem(item);
    }
    FUpdating = updating;
    FViewChanged.start();
}

void TPagesTab::StartWorker() {
    if (FWorker || FBroken || FPath.empty() || FPageCount == 0) {
        return;
    }
    try {
        FWorker = std::make_unique<TThumbnailWorker>(FPath, FPassword, kFit);
    } catch (const std::exception& e) {
        FBroken = true;
        FNote->setText(QString("The pages cannot be drawn: ") + e.what());
        FNote->show();
        return;
    }
    FNotifier = std::make_unique<QSocketNotifier>(FWorker->EventFd(), QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { Take(); });
}

void TPagesTab::StopWorker() {
    if (FNotifier) {
        FNotifier->setEnabled(false);
        // It may be the sender of the call that ends here.
        FNotifier.release()->deleteLater();
    }
    FWorker.reset();
}

void TPagesTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FViewChanged.start();
}

void TPagesTab::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FViewChanged.start();
}

void TPagesTab::WantVisible() {
    if (!isVisible() || FList->count() == 0) {
        return;
    }
    StartWorker();
    if (!FWorker) {
        return;
    }
    // The rows run in page order down the view: the first in view is found by halving, and the
    // screen after it is drawn ahead.
    const QRect view = FList->viewport()->rect();
    const int last = FList->count() - 1;
    int low = 0;
    int high = last;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (FList->visualItemRect(FList->item(middle)).bottom() < view.top()) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    std::vector<int> wanted;
    std::vector<int> ahead;
    for (int row = low; row <= last; ++row) {
        const QRect rect = FList->visualItemRect(FList->item(row));
        if (rect.top() > view.bottom() + view.height()) {
            break;
        }
        const int page = row + 1;
        if (const auto kept = FKeptAt.find(page); kept != FKeptAt.end()) {
            // Seen again: kept longest.
            FKept.splice(FKept.end(), FKept, kept->second);
        } else if (FFailedPages.count(page) == 0) {
            (rect.top() > view.bottom() ? ahead : wanted).push_back(page);
        }
    }
    wanted.insert(wanted.end(), ahead.begin(), ahead.end());
    FWorker->Want(std::move(wanted));
    Take();
}

void TPagesTab::Take() {
    if (!FWorker) {
        return;
    }
    for (const Thumbnail& picture : FWorker->Process()) {
        QListWidgetItem* item = FList->item(picture.Page - 1);
        if (item == nullptr) {
            continue;
        }
        if (picture.Pixels.empty()) {
            FFailedPages.insert(picture.Page);
            item->setIcon(FFailed);
            item->setToolTip(PageTip(picture.Page) + ": " +
                             QString::fromStdString(picture.Failure));
            continue;
        }
        // The copy is the window's own: the buffer is drawn into again at once.
        const QImage image(picture.Pixels.data(), picture.Size.Width, picture.Size.Height,
                           picture.Size.Width * 4, QImage::Format_RGB32);
        Keep(picture.Page, image.copy());
    }
    if (FWorker->Broken()) {
        FNote->setText("The pages cannot be drawn: " + QString::fromStdString(*FWorker->Broken()));
        FNote->show();
        FBroken = true;
        StopWorker();
    }
}

void TPagesTab::Keep(int page, const QImage& image) {
    FList->item(page - 1)->setIcon(QIcon(QPixmap::fromImage(image)));
    FKeptAt[page] = FKept.insert(FKept.end(), page);
    while (FKept.size() > static_cast<std::size_t>(kCached)) {
        const int oldest = FKept.front();
        FKept.pop_front();
        FKeptAt.erase(oldest);
        FList->item(oldest - 1)->setIcon(FPlaceholder);
    }
}

void TPagesTab::ShowSelection(const std::string& selection) {
    if (FUpdating) {
        return; // the text follows a click: the pictures show it already
    }
    const std::int64_t count = FPageCount;
    QItemSelection selected;
    std::set<int> reversed;
    const auto rows = [count](std::int64_t first, std::int64_t last) {
        return std::pair{std::max<std::int64_t>(first, 1) - 1, std::min(last, count) - 1};
    };
    for (const SelectionItem& item : ReadSelection(selection)) {
        if (item.Kind == SelectionItem::Page || item.Kind == SelectionItem::Range) {
            const auto [first, last] = rows(item.First, item.Last);
            if (first <= last) {
                // Merged, so that a page named twice is selected once.
                selected.merge(QItemSelection(FList->model()->index(static_cast<int>(first), 0),
                                              FList->model()->index(static_cast<int>(last), 0)),
                               QItemSelectionModel::Select);
            }
        } else if (item.Kind == SelectionItem::Reversed) {
            const auto [first, last] = rows(item.Last, item.First);
            for (std::int64_t row = first; row <= last; ++row) {
                reversed.insert(static_cast<int>(row + 1));
            }
        }
    }
    const bool updating = std::exchange(FUpdating, true);
    FList->selectionModel()->select(selected, QItemSelectionModel::ClearAndSelect);
    for (const int page : FReversed) {
        if (reversed.count(page) == 0) {
            FList->item(page - 1)->setBackground(QBrush());
        }
    }
    for (const int page : reversed) {
        FList->item(page - 1)->setBackground(QColor(0xF2, 0xC4, 0xC4));
    }
    FReversed = std::move(reversed);
    FUpdating = updating;
}

void TPagesTab::Chosen() {
    if (FUpdating || !FOnChosen) {
        return;
    }
    const std::vector<int> pages = SelectedPages();
    const bool updating = std::exchange(FUpdating, true);
    FOnChosen(std::vector<std::int32_t>(pages.begin(), pages.end()));
    FUpdating = updating;
}

std::vector<int> TPagesTab::DrawnPages() const {
    std::vector<int> pages(FKept.begin(), FKept.end());
    std::sort(pages.begin(), pages.end());
    return pages;
}

std::vector<int> TPagesTab::SelectedPages() const {
    std::vector<int> pages;
    for (const QModelIndex& index : FList->selectionModel()->selectedIndexes()) {
        pages.push_back(index.row() + 1);
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

std::vector<int> TPagesTab::ReversedPages() const {
    return {FReversed.begin(), FReversed.end()};
}

bool TPagesTab::Drawing() const {
    return FWorker && FWorker->Drawing();
}

} // namespace folioxa
