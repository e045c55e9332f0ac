#include "pack_progress.h"

namespace pkg {

std::string StatusText(const PackProgress& p) {
  if (p.kind != PackProgress::Kind::kBegins) return std::string();
  switch (p.step) {
    case PackStep::kList:
      return std::string(kListText);
    case PackStep::kHeader:
      return std::string(kHeaderText);
    case PackStep::kStore:
      return std::string(kStoreText) + p.relative;
    case PackStep::kIndex:
      return std::string(kIndexText);
    case PackStep::kSave:
      return std::string(kSaveText);
  }
  return std::string();
}

}  // namespace pkg
