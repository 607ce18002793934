// Readable and machine-readable dumps of a module, for `quillavor-maker
// inspect` and for tests that compare a compiled module with an expected dump.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "reader/module_reader.h"

namespace quillavor {

struct InspectOptions {
  bool counters = true;
  bool books = true;
  bool verses = true;
  bool words = true;
  bool concordance = true;
  bool images = true;
  bool links = true;    // resolved links of verses and book notes, decoded
  std::u16string word;    // when set: the occurrences of this word only
  std::u16string letter;  // when set: the words of this Concordance letter book only
};

// A pool string as readable UTF-8: control characters, U+FFFF and lone
// surrogates escaped as \uXXXX; resolved "<A=" links decoded into
// {book N} and {verse N+run} references.
std::string DisplayText(std::u16string_view s);

// One resolved-link reference pair decoded: kind 1 book, 2 verse.
struct EncodedRef {
  int kind;
  int32_t index;
  int32_t run;  // verses covered, 1 for a single verse
};
EncodedRef DecodeRefPair(char16_t first, char16_t second);

// The resolved links of one string, decoded and described one per line
// ("<a> {book 3 "Genesis 1"} {verse 7+3 ...}", "<f> footnote text at 1234 ..."),
// each line preceded by `indent`. Nothing for a string without links.
std::string DescribeLinks(const ModuleView& module, std::u16string_view s,
                          const std::string& indent);

void PrintModule(const ModuleView& module, const InspectOptions& options, std::ostream& out);
void PrintModuleJson(const ModuleView& module, std::ostream& out);

}  // namespace quillavor
