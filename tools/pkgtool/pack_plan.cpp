#include "pack_plan.h"

#include <filesystem>

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

std::vector<std::string> UnmatchedEntries(pkg::Platform& platform, const PackPlan& plan,
                                          const std::vector<std::string>& excludes) {
  std::vector<bool> matched;
  pkg::MarkMatchedEntries(platform, plan.files, plan.excludedBy, excludes, matched);
  return pkg::UnmatchedEntries(excludes, matched);
}

std::string UnmatchedEntryLine(const std::string& entry) {
  return "exclusion entry " + entry + " matched no file";
}

}  // namespace pkgtool
