#include "cli/EntryPlan.h"

#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string_view>
#include <tuple>
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
    std::unordered_set<std::string> paths;
    for (std::int64_t i = 0; i < pages.Count(); ++i) {
        PlannedEntry entry;
        entry.Index = i;
        entry.Text = pages.Entry(i);
        entry.Path = EntryFilePath(settings, pageCount, entry.Text);
        entry.Page = NamesPage(entry.Text, pageCount) ? ParsePageNumber(entry.Text) : 0;
        entry.Repeated = !paths.insert(entry.Path).second;
        plan.Entries.push_back(std::move(entry));
        if (plan.Entries.back().Page == 0) {
            break;
        }
    }
    return plan;
}

namespace {

// Names a document's run writes from one item of its list: Prefix, then n padded with zeros to
// Width digits, then Suffix, for n from Low to High; or, with Width 0, Name alone (a page text
// that is not all digits, such as "0x5"). Prefix and Name have their folder resolved.
struct NameRun {
    std::size_t Document = 0;
    std::int64_t Entry = 0; // the entry that writes Low's name (or Name)
    std::string Prefix;
    std::string Suffix;
    int Width = 0;
    std::int64_t Low = 0;
    std::int64_t High = 0;
    std::int64_t Step = 1; // Low, Low + Step, ... (a range of odd or even pages: 2)
    std::string Name;
};

// Whether `n` is one of the run's numbers, its name shifted by `offset`.
bool InStep(const NameRun& run, std::int64_t n, std::int64_t offset = 0) {
    return (n - (run.Low + offset)) % run.Step == 0;
}

bool AllDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view WithoutTrailingDigits(std::string_view text) {
    while (!text.empty() && text.back() >= '0' && text.back() <= '9') {
        text.remove_suffix(1);
    }
    return text;
}

// `digits` as a number times 10^`shift`; nothing past what a page number can reach.
std::optional<std::int64_t> Shifted(std::string_view digits, int shift) {
    constexpr std::int64_t kMost = std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
        if (value > kMost) {
            return std::nullopt;
        }
    }
    for (int i = 0; i < shift && value != 0; ++i) {
        if ((value *= 10) > kMost) {
            return std::nullopt;
        }
    }
    return value;
}

// The number whose padded text `name` carries between `run`'s prefix and suffix, when it is one
// of the run's.
std::optional<std::int64_t> NumberIn(const NameRun& run, const std::string& name) {
    if (name.size() !=
            run.Prefix.size() + static_cast<std::size_t>(run.Width) + run.Suffix.size() ||
        !name.starts_with(run.Prefix) || !name.ends_with(run.Suffix)) {
        return std::nullopt;
    }
    const std::string_view middle =
        std::string_view(name).substr(run.Prefix.size(), static_cast<std::size_t>(run.Width));
    const std::optional<std::int64_t> n = AllDigits(middle) ? Shifted(middle, 0) : std::nullopt;
    return n && *n >= run.Low && *n <= run.High && InStep(run, *n) ? n : std::nullopt;
}

// The first number of `later` whose name `earlier` writes too.
std::optional<std::int64_t> FirstShared(const NameRun& earlier, const NameRun& later) {
    // The first number of both, `earlier`'s shifted to [low, high]; steps are 1 or 2, so the
    // first few numbers from the larger start decide.
    const auto within = [&earlier, &later](std::int64_t low,
                                           std::int64_t high) -> std::optional<std::int64_t> {
        const std::int64_t offset = low - earlier.Low;
        const std::int64_t last = std::min(high, later.High);
        const std::int64_t first = std::max(low, later.Low);
        for (std::int64_t n = first; n <= last && n < first + 4; ++n) {
            if (InStep(earlier, n, offset) && InStep(later, n)) {
                return n;
            }
        }
        return std::nullopt;
    };
    if (earlier.Width == 0 || later.Width == 0) {
        if (earlier.Width == 0 && later.Width == 0) {
            return earlier.Name == later.Name ? std::optional(later.Low) : std::nullopt;
        }
        return earlier.Width == 0
                   ? NumberIn(later, earlier.Name)
                   : (NumberIn(earlier, later.Name) ? std::optional(later.Low) : std::nullopt);
    }
    const std::string& a = earlier.Prefix;
    const std::string& b = later.Prefix;
    if (a.size() + static_cast<std::size_t>(earlier.Width) !=
        b.size() + static_cast<std::size_t>(later.Width)) {
        return std::nullopt;
    }
    if (earlier.Width == later.Width) {
        return a == b ? within(earlier.Low, earlier.High) : std::nullopt;
    }
    // The longer prefix is the shorter one and the leading digits of the other's numbers.
    const bool laterLonger = b.size() > a.size();
    const std::string& shorter = laterLonger ? a : b;
    const std::string& longer = laterLonger ? b : a;
    const std::string_view extra = std::string_view(longer).substr(shorter.size());
    if (!longer.starts_with(shorter) || !AllDigits(extra)) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> offset =
        Shifted(extra, laterLonger ? later.Width : earlier.Width);
    if (!offset) {
        return std::nullopt;
    }
    // Later's n is earlier's n less the offset, or more.
    return laterLonger ? within(earlier.Low - *offset, earlier.High - *offset)
                       : within(earlier.Low + *offset, earlier.High + *offset);
}

class TNameRuns {
public:
    void Add(std::size_t document, const DocumentNames& names) {
        const ConversionSettings& settings = *names.Settings;
        const std::string start = settings.DestinationFolder + settings.BaseFileName;
        const std::string folder =
            OutputFolderPath(settings.DestinationFolder, settings.BaseFileName);
        NameRun run;
        run.Document = document;
        run.Prefix = Resolved(folder) + start.substr(folder.size());
        run.Suffix = FileExtension(settings.ImageType);
        const int digits = DigitCount(names.PageCount);
        if (settings.SingleFile) {
            // One name without a page number, whatever the entry (a list of more is refused).
            if (names.Pages->Count() > 0) {
                run.Width = 0;
                run.Name = run.Prefix + run.Suffix;
                Keep(run);
            }
            return;
        }
        for (const PageList::Segment& segment : names.Pages->Segments()) {
            run.Entry = segment.Start;
            if (segment.IsRange) {
                // Up to the first number that names no page, where the run ends.
                const std::int64_t last = std::min<std::int64_t>(
                    segment.First + (segment.Count - 1) * segment.Step, names.PageCount);
                if (segment.First < 1 || last < segment.First) {
                    return;
                }
                run.Width = digits;
                run.Low = segment.First;
                run.High = last;
                run.Step = segment.Step;
                Keep(run);
                run.Step = 1;
                if (last < segment.First + (segment.Count - 1) * segment.Step) {
                    return;
                }
                continue;
            }
            std::int32_t page = 0;
            try {
                page = ParsePageNumber(segment.Text);
            } catch (const EConvertError&) {
            }
            if (page < 1 || page > names.PageCount) {
                return;
            }
            const std::string path =
                OutputFilePath(settings.DestinationFolder, settings.BaseFileName, segment.Text,
                               digits, settings.ImageType);
            const std::string padded =
                path.substr(start.size(), path.size() - start.size() - run.Suffix.size());
            if (AllDigits(padded)) {
                run.Width = static_cast<int>(padded.size());
                run.Low = run.High = page;
                Keep(run);
            } else {
                NameRun name = run;
                name.Width = 0;
                name.Low = name.High = 0;
                name.Name = run.Prefix + padded + run.Suffix;
                Keep(name);
            }
        }
    }

    std::optional<SharedFile> First(const std::vector<DocumentNames>& documents) const {
        std::optional<std::tuple<std::size_t, std::int64_t, std::size_t>>
            first; // later, entry, earlier
        for (const auto& [key, runs] : FRuns) {
            for (const NameRun& later : runs) {
                for (const NameRun& earlier : runs) {
                    if (earlier.Document >= later.Document) {
                        continue;
                    }
                    if (const auto n = FirstShared(earlier, later)) {
                        const std::tuple found{later.Document,
                                               later.Entry + (*n - later.Low) / later.Step,
                                               earlier.Document};
                        first = first ? std::min(*first, found) : found;
                    }
                }
            }
        }
        if (!first) {
            return std::nullopt;
        }
        const auto [second, entry, earlier] = *first;
        const DocumentNames& names = documents[second];
        const ConversionSettings& settings = *names.Settings;
        return SharedFile{earlier, second,
                          EntryFilePath(settings, names.PageCount, names.Pages->Entry(entry))};
    }

private:
    // Runs whose names could meet share a key: the prefix without its trailing digits, and the
    // suffix.
    void Keep(const NameRun& run) {
        const std::string_view stem =
            run.Width == 0
                ? std::string_view(run.Name).substr(0, run.Name.size() - run.Suffix.size())
                : std::string_view(run.Prefix);
        FRuns[std::string(WithoutTrailingDigits(stem)) + '\0' + run.Suffix].push_back(run);
    }

    std::string Resolved(const std::string& folder) {
        namespace fs = std::filesystem;
        auto known = FFolders.find(folder);
        if (known == FFolders.end()) {
            std::error_code error;
            const fs::path written = folder.empty() ? fs::path(".") : fs::path(folder);
            const fs::path resolved = fs::weakly_canonical(fs::absolute(written, error), error);
            known = FFolders.emplace(folder, (error ? written : resolved).string() + "/").first;
        }
        return known->second;
    }

    std::unordered_map<std::string, std::string> FFolders; // as written: resolved
    std::unordered_map<std::string, std::vector<NameRun>> FRuns;
};

} // namespace

std::optional<SharedFile> FindSharedFile(const std::vector<DocumentNames>& documents) {
    TNameRuns runs;
    for (std::size_t i = 0; i < documents.size(); ++i) {
        runs.Add(i, documents[i]);
    }
    return runs.First(documents);
}

} // namespace folioxa
