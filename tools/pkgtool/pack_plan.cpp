#include "pack_plan.h"

#include <filesystem>
#include <unordered_set>

#include "exclusion_lines.h"

namespace pkgtool {

PackPlan PlanPack(pkg::Platform& platform, const std::string& source,
                  const std::vector<std::string>& excludes) {
  PackPlan plan;
  plan.scan = pkg::BuildFileList(platform, source, plan.files);
  plan.excludedBy = pkg::ExcludingEntries(platform, plan.files, excludes);
  plan.sizes.resize(plan.files.size());
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    if (plan.excludedBy[i] != pkg::kNotExcluded) continue;
    const std::string full = platform.JoinRelative(source, plan.files[i].relative);
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(
        std::filesystem::path(std::u8string(full.begin(), full.end())), ec);
    if (!ec) plan.sizes[i] = size;
  }
  return plan;
}

PackTotals TotalsOf(const PackPlan& plan) {
  PackTotals totals;
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    if (plan.excludedBy[i] != pkg::kNotExcluded) continue;
    const std::uint64_t size = plan.sizes[i].value_or(0);
    totals.sizes[plan.files[i].relative] = size;
    ++totals.files;
    totals.bytes += size;
  }
  return totals;
}

std::vector<std::string> UnmatchedEntries(pkg::Platform& platform, const PackPlan& plan,
                                          const std::vector<std::string>& excludes) {
  std::vector<bool> matched(excludes.size(), false);
  std::vector<std::size_t> excluded;  // the files left out
  for (std::size_t i = 0; i < plan.files.size(); ++i)
    if (plan.excludedBy[i] != pkg::kNotExcluded) {
      matched[plan.excludedBy[i]] = true;
      excluded.push_back(i);
    }
  // A file is left out by the first entry that names it; a later entry that
  // names it too ("\A.BIN" after "\a.bin") matched it all the same.
  for (std::size_t e = 0; e < excludes.size(); ++e)
    for (std::size_t k = 0; k < excluded.size() && !matched[e]; ++k)
      matched[e] = platform.SameTextIgnoreCase(plan.files[excluded[k]].relative, excludes[e]);
  std::vector<std::string> unmatched;
  std::unordered_set<std::string> seen;
  for (std::size_t e = 0; e < excludes.size(); ++e)
    if (!matched[e] && !excludes[e].empty() && seen.insert(excludes[e]).second)
      unmatched.push_back(excludes[e]);
  return unmatched;
}

std::string UnmatchedEntryLine(const std::string& entry) {
  return "exclusion entry " + entry + " matched no file";
}

}  // namespace pkgtool
