#include "cli/EntryPlan.h"

#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"

#include <algorithm>
#include <unordered_set>

namespace folioxa {

bool EntryPlan::HasRepeats() const {
    return std::any_of(Entries.begin(), Entries.end(),
                       [](const PlannedEntry& e) { return e.Repeated; });
}

EntryPlan PlanEntries(const PageList& pages, std::int32_t pageCount,
                      const ConversionSettings& settings) {
    EntryPlan plan;
    plan.ListCount = pages.Count();
    const int digitCount = DigitCount(pageCount);
    std::unordered_set<std::string> paths;
    for (std::int64_t i = 0; i < pages.Count(); ++i) {
        PlannedEntry entry;
        entry.Index = i;
        entry.Text = pages.Entry(i);
        entry.Path = OutputFilePath(settings.DestinationFolder, settings.BaseFileName, entry.Text,
                                    digitCount, settings.ImageType);
        try {
            const std::int32_t page = ParsePageNumber(entry.Text);
            entry.Page = page >= 1 && page <= pageCount ? page : 0;
        } catch (const EConvertError&) {
            entry.Page = 0;
        }
        entry.Repeated = !paths.insert(entry.Path).second;
        plan.Entries.push_back(std::move(entry));
        if (plan.Entries.back().Page == 0) {
            break;
        }
    }
    return plan;
}

} // namespace folioxa
