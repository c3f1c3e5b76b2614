#include "cli/ToolDocument.h"

#include <algorithm>

namespace folioxa {

std::optional<PageList> ListPages(const ToolDocument& document, const NoticeFunction& notice) {
    const ConversionSettings& settings = document.Settings;
    return BuildPageList(settings.ConvertMethod, settings.PageSelection, document.PageCount, notice,
                         settings.Filter);
}

int WorstCode(const std::vector<ToolDocument>& documents) {
    int worst = kExitOk;
    for (const ToolDocument& document : documents) {
        worst = std::max(worst, document.Code);
    }
    return worst;
}

std::int64_t WrittenPages(const std::vector<ToolDocument>& documents) {
    std::int64_t written = 0;
    for (const ToolDocument& document : documents) {
        written += document.Written;
    }
    return written;
}

} // namespace folioxa
