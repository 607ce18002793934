// `quillavor-maker preview`: a static web site of a built module, read from
// the module alone, for proofreading it as a reader would show it. An index
// page (name, abbreviation, kind, counts, the book names with their books),
// pages of verses with labels, layout, links, footnotes, refrains, book notes
// and images, the Concordance by letter with paged occurrences, and a search
// box over a word index. The pages need no server and no network, carry a
// Content-Security-Policy that allows only the site's own script files, and
// escape every piece of module text. The library writes files and returns a
// summary; it never prints and never opens a browser (the front ends do).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/module_reader.h"

namespace quillavor {

struct PreviewOptions {
  // A book name whose books together weigh at most this many code units
  // (verse and footnote text) is shown on one page; a heavier name gets one
  // page per book, as a Bible gets one page per chapter.
  int64_t namePageWeight = 100000;
  // A single book heavier than this is split over pages of about this weight,
  // which keeps every page well below 2 MB.
  int64_t pageWeight = 300000;
  // Concordance occurrences listed on one page.
  int32_t occurrencesPerPage = 400;
};

struct PreviewSummary {
  std::u16string indexPage;  // the site's first page
  int32_t pages = 0;         // HTML pages written
  int32_t images = 0;        // image files written
  int64_t largestPage = 0;   // bytes of the largest page
};

// The default site folder of a module file: the file's path with ".preview"
// in place of its extension ("kjv.quillavor" gives "kjv.preview").
std::u16string DefaultPreviewFolder(std::u16string_view modulePath);

// Writes the site of `module` into `folder`. The site is written beside it
// first and takes the folder's name only when complete; an earlier preview
// in the folder is replaced. A folder that exists, is not empty and holds no
// preview is never touched: IoError. Raises IoError when a file cannot be
// written.
PreviewSummary WritePreview(const ModuleView& module, std::u16string_view folder,
                            const PreviewOptions& options = {});

// The preview of the module that a books-list line builds, in the module
// file's default folder (what the window's "Preview" does). Raises Error
// when the line is no module line, IoError when its module file does not
// exist yet or the site cannot be written, FormatError for a damaged module.
PreviewSummary PreviewBooksListLine(std::u16string_view piece);

}  // namespace quillavor
