#pragma once

#include <QIcon>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class QLabel;
class QListWidget;
class QSocketNotifier;

namespace folioxa {

class TThumbnailWorker;

// The document's pages as small pictures, to choose pages by sight. The pages are listed at once
// and drawn by one page worker (never in this process) as they come into view; at most kCached
// pictures are kept, the longest unseen given up first. Clicking a picture adds its page to the
// selection or takes it out.
class TPagesTab : public QWidget {
public:
    static constexpr int kFit = 128;    // pixels of a picture's longer side
    static constexpr int kCached = 256; // pictures kept: at most 64 KB each

    explicit TPagesTab(QWidget* parent = nullptr);
    ~TPagesTab() override;
    TPagesTab(const TPagesTab&) = delete;
    TPagesTab& operator=(const TPagesTab&) = delete;

    // The selected document, opened with `password`; its earlier worker ends. The worker starts
    // once the tab shows.
    void SetDocument(const std::string& path, const std::string& password, int pageCount);
    // Marks the pages `selection` names as selected and those of its reversed ranges in a colour
    // of their own; nothing in it is refused.
    void ShowSelection(const std::string& selection);
    // Told the pages chosen, ascending, each time a click changes them.
    void SetOnChosen(std::function<void(const std::vector<std::int32_t>&)> onChosen) {
        FOnChosen = std::move(onChosen);
    }

    // What the tab shows, for tests and pictures: the pages whose pictures are kept, the pages
    // selected, those marked as in a reversed range, and the list.
    std::vector<int> DrawnPages() const;
    std::vector<int> SelectedPages() const;
    std::vector<int> ReversedPages() const;
    QListWidget* List() const { return FList; }
    // Whether the worker is still drawing what is in view.
    bool Drawing() const;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void StartWorker();
    void StopWorker();
    // Asks the worker for the pictures in view and the next screen's, and keeps those in view.
    void WantVisible();
    void Take();
    void Keep(int page, const QImage& image);
    void Chosen();

    QListWidget* FList;
    QLabel* FNote; // why no picture can be drawn
    QIcon FPlaceholder;
    QIcon FFailed;
    std::string FPath;
    std::string FPassword;
    int FPageCount = 0;
    std::unique_ptr<TThumbnailWorker> FWorker;
    std::unique_ptr<QSocketNotifier> FNotifier;
    bool FBroken = false;
    std::list<int> FKept; // oldest first
    std::unordered_map<int, std::list<int>::iterator> FKeptAt;
    std::set<int> FFailedPages;
    std::set<int> FReversed;
    bool FUpdating = false; // the selection is being set, not clicked
    QTimer FViewChanged;
    std::function<void(const std::vector<std::int32_t>&)> FOnChosen;
};

} // namespace folioxa
