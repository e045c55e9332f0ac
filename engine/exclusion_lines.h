// The exclusion entries of a text, one per line: the window's exclusion memo
// and pkgtool's --exclude-from both take them this way.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pkg {

// CR LF, a lone LF and a lone CR each end a line. Each line is one entry,
// verbatim, blanks included, so an empty line in the middle is an empty
// entry; the last line counts only when it is not empty (a text that ends
// with a line break gives no entry after it).
std::vector<std::string> ExclusionLines(std::string_view text);

}  // namespace pkg
