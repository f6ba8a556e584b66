#include "cli/shard.h"

#include <algorithm>
#include <cstddef>

namespace vidmill {

std::vector<FoundFile> takeShare(std::vector<FoundFile> found, int share, int shares) {
    // Every run of the N sorts the same list the same way, whatever order
    // its inputs came in, so the shares neither overlap nor leave a gap.
    std::stable_sort(found.begin(), found.end(),
                     [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; });
    const std::size_t count = found.size();
    const auto n = static_cast<std::size_t>(shares);
    const auto k = static_cast<std::size_t>(share);
    const auto first = found.begin() + static_cast<std::ptrdiff_t>((k - 1) * count / n);
    const auto last = found.begin() + static_cast<std::ptrdiff_t>(k * count / n);
    return std::vector<FoundFile>(std::make_move_iterator(first), std::make_move_iterator(last));
}

}  // namespace vidmill
