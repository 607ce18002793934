// LineMap: from a line of the prepared text back to the line of the source
// file it came from, as a text editor counts lines (LF ends a line, CR LF is
// one line end, a lone CR does not end one). The loader keeps it as it goes:
// comment blocks and multi-line Base64 images drop lines, image references
// add one. Lines are counted by their LF bytes, which the later stages keep
// (the prepared text and the pool's copy of it end their lines at the same
// LFs).
#pragma once

#include <cstdint>
#include <vector>

namespace quillavor {

class LineMap {
 public:
  // From prepared line `preparedLine` (0-based: the number of LFs before it)
  // on, prepared lines are file lines `fileLine`, `fileLine` + 1, ... Calls
  // come in ascending `preparedLine`; a later call for the same line wins.
  void Resume(int64_t preparedLine, int64_t fileLine);

  // The 1-based file line of prepared line `preparedLine` (0-based).
  int64_t FileLine(int64_t preparedLine) const;

 private:
  struct Segment {
    int64_t preparedLine;
    int64_t fileLine;
  };
  std::vector<Segment> segments_;  // ascending preparedLine; none: line k is file line k + 1
};

}  // namespace quillavor
