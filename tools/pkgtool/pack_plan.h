// What a pack takes from its source folder, learned by a scan of pkgtool's
// own before the job starts (the job scans again as it packs): the totals of
// the progress line, the dry run's listing, and the exclusion entries that
// matched no file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "progress.h"
#include "source_scan.h"

namespace pkgtool {

struct PackPlan {
  pkg::ScanResult scan;                // failed when a folder could not be listed
  std::vector<pkg::SourceFile> files;  // every file found, in archive order
  // Per file: the exclusion entry that leaves it out, or pkg::kNotExcluded.
  std::vector<std::size_t> excludedBy;
  // Per file: its size, when the file is packed and its size could be read.
  std::vector<std::optional<std::uint64_t>> sizes;
};

// Scans source and applies the entries as the job applies them.
PackPlan PlanPack(pkg::Platform& platform, const std::string& source,
                  const std::vector<std::string>& excludes);

// The entries that left no file out, in the order given, each text once.
// Empty entries (an empty line of a list) are left out: they never name a file.
std::vector<std::string> UnmatchedEntries(pkg::Platform& platform, const PackPlan& plan,
                                          const std::vector<std::string>& excludes);

// "exclusion entry \data\a.bn matched no file"
std::string UnmatchedEntryLine(const std::string& entry);

}  // namespace pkgtool
