#include "cli/EntryPlan.h"

#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>
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

std::optional<SharedFile> FindSharedFile(const std::vector<EntryPlan>& plans) {
    namespace fs = std::filesystem;
    std::unordered_map<std::string, fs::path> folders;    // as written: resolved
    std::unordered_map<std::string, std::size_t> writers; // resolved path: first plan
    for (std::size_t i = 0; i < plans.size(); ++i) {
        for (const PlannedEntry& entry : plans[i].Entries) {
            if (entry.Page == 0) {
                continue; // the run fails there before the file exists
            }
            const fs::path path(entry.Path);
            const std::string folder = path.parent_path().string();
            auto known = folders.find(folder);
            if (known == folders.end()) {
                std::error_code error;
                const fs::path resolved = fs::weakly_canonical(fs::absolute(folder, error), error);
                known = folders.emplace(folder, error ? fs::path(folder) : resolved).first;
            }
            const std::string key = (known->second / path.filename()).lexically_normal().string();
            const auto [at, added] = writers.emplace(key, i);
            if (!added && at->second != i) {
                return SharedFile{at->second, i, entry.Path};
            }
        }
    }
    return std::nullopt;
}

} // namespace folioxa
