#include "source/line_map.h"

#include <algorithm>

namespace quillavor {

void LineMap::Resume(int64_t preparedLine, int64_t fileLine) {
  if (!segments_.empty() && segments_.back().preparedLine == preparedLine) {
    segments_.back().fileLine = fileLine;
    return;
  }
  segments_.push_back(Segment{preparedLine, fileLine});
}

int64_t LineMap::FileLine(int64_t preparedLine) const {
  auto after = std::upper_bound(
      segments_.begin(), segments_.end(), preparedLine,
      [](int64_t line, const Segment& segment) { return line < segment.preparedLine; });
  if (after == segments_.begin()) return preparedLine + 1;
  const Segment& s = *(after - 1);
  return s.fileLine + (preparedLine - s.preparedLine);
}

}  // namespace quillavor
