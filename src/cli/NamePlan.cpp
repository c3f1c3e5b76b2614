#include "cli/NamePlan.h"

namespace folioxa {

std::optional<std::string> SharedFileMessage(const std::vector<ToolDocument>& documents) {
    if (documents.size() < 2) {
        return std::nullopt;
    }
    std::vector<PageList> lists;
    std::vector<const ToolDocument*> planned;
    lists.reserve(documents.size());
    for (const ToolDocument& document : documents) {
        if (document.Code != kExitOk) {
            continue;
        }
        try {
            // A list that cannot be built fails its run before any file is written.
            if (auto pages = ListPages(document, [](const std::string&) {})) {
                lists.push_back(std::move(*pages));
                planned.push_back(&document);
            }
        } catch (const std::exception&) {
        }
    }
    std::vector<DocumentNames> names;
    for (std::size_t i = 0; i < planned.size(); ++i) {
        names.push_back({&lists[i], planned[i]->PageCount, &planned[i]->Settings});
    }
    const std::optional<SharedFile> shared = FindSharedFile(names);
    if (!shared) {
        return std::nullopt;
    }
    return TConsole::Label(planned[shared->First]->Name) + " and " +
           TConsole::Label(planned[shared->Second]->Name) + " would both write \"" + shared->Path +
           "\"; nothing was written: give them different --base names or --output-dir folders";
}

} // namespace folioxa
