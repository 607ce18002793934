// The in-progress marker of the window's books list: "-->" put in front of the
// module line being built and taken out again once it is done. Plain text
// operations, kept apart from the widgets so that the window only moves text.
#pragma once

#include <string>
#include <string_view>

namespace quillavor::gui {

inline constexpr std::u16string_view kLineMarker = u"-->";

// `booksList` with "-->" put in front of every occurrence of `piece` (all of
// them, left to right, case-sensitive; an occurrence inside another line is
// marked too). An empty piece leaves the text as it is.
std::u16string MarkLine(std::u16string_view booksList, std::u16string_view piece);

// `marked` with every "-->" removed, whoever put it there.
std::u16string UnmarkLines(std::u16string_view marked);

}  // namespace quillavor::gui
