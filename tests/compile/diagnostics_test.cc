// Diagnostics of a compile run: each code on a source written for it, with the
// line an editor shows, through byte-order marks, comment blocks, "<comment>"
// lines, Base64 images, image files, CR LF and lone CR line ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compile/compilation.h"
#include "output/module_writer.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::Bytes;
using testing::U8;

struct Compiled {
  CompileResult result;
  std::vector<Diagnostic> diagnostics;
  // "code:line" of each diagnostic, in the order reported.
  std::vector<std::string> Where() const {
    std::vector<std::string> where;
    for (const Diagnostic& d : diagnostics) {
      where.push_back(std::string(DiagnosticCodeName(d.code)) + ":" + std::to_string(d.line));
    }
    return where;
  }
};

Compiled Compile(const std::string& source, std::u16string_view options = u"") {
  NullProgress progress;
  DiagnosticList list;
  Compiled run;
  run.result = CompileModuleFromBytes(u"Test", u"T", u"src.txt", std::u16string(options),
                                      Bytes(source), progress, &list);
  run.diagnostics = std::move(list.items);
  return run;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(DiagnosticsTest, EachCodeAtTheLineAnEditorShows) {
  testing::TempDir dir;
  const std::string image = dir.Write("dot.png", "PNG").string();
  const std::string nope = "<A=\"Nowhere 1:1\">x</a>";
  const struct {
    const char* name;
    std::string source;
    std::vector<std::string> where;
  } kCases[] = {
      {"no diagnostics", "BIBLE\n<G>Genesis 1\n1 a <A=\"Genesis 1:1\">b</a>\n", {}},
      {"byte-order marks and CR LF",
       "\xEF\xBB\xBF<G>G\r\n1 a\r\n\xEF\xBB\xBF"
       "2 " +
           nope + "\r\n",
       {"unresolved-link:3"}},
      {"lone CR ends no line",
       "<G>G\r1 " + nope + "\r2 b\n3 " + nope + "\n",
       {"unresolved-link:1", "unresolved-link:2"}},
      {"a comment block drops lines",
       "<G>G\nBEGIN_COMMENT\na\nb END_COMMENT tail\n1 " + nope + "\n",
       {"unresolved-link:5"}},
      {"a comment block inside a line",
       "<G>G\n1 a BEGIN_COMMENT x\nEND_COMMENT\n2 " + nope + "\n",
       {"unresolved-link:4"}},
      {"<comment> lines",
       "<comment> top\n<G>G <comment> note\n1 " + nope + "\n",
       {"unresolved-link:3"}},
      {"a Base64 image over three lines",
       "<G>G\n1 a <image=        >QUJD\nREVG\n</image>\n2 " + nope + "\n",
       {"unresolved-link:5"}},
      {"an image file adds a prepared line",
       "<G>G\n<imagefile>" + image + "\n1 " + nope + "\n<imagefile>" + image + "\n2 " + nope + "\n",
       {"unresolved-link:3", "unresolved-link:5"}},
      {"a missing image file",
       "<G>G\n<imagefile>no/such.png\n1 " + nope + "\n",
       {"missing-image:2", "unresolved-link:3"}},
      {"an unterminated comment",
       "<G>G\n1 a\r\nx BEGIN_COMMENT\n2 b\n3 c",
       {"unterminated-comment:3"}},
      {"a 0 byte", std::string("<G>G\n1 a\n2 b\0c\n3 d\n4 e\n", 23), {"nul-byte:3"}},
      {"malformed UTF-8",
       "<G>G\n1 \x93q\x94 \xFF\n2 \xC3\xA9\n3 \xE2\x80\n",
       {"malformed-utf8:2", "malformed-utf8:4"}},
      {"text before the first book",
       "BIBLE\n\n  \t\nintro\n[a] note\n<G>G\n1 a\n",
       {"text-before-first-book:4"}},
      {"a footnote marker without its line", "<G>G\n1 a[a] b\n2 c\n", {"unresolved-link:2"}},
      {"a link in a footnote line",
       "<G>G\n1 a[a] b\n[a] see " + nope + "\n",
       {"unresolved-link:3"}},
      {"a link in a book note",
       "BIBLE\n\n<G>G<note>see <a=\"Nowhere\">x</a>\n1 a\n",
       {"unresolved-link:3"}},
      {"a link kept as text, in a verse queued twice",
       "<G>G\n1 " + nope + " <A=\"Nowhere\" end\n",
       {"unresolved-link:2", "unresolved-link:2"}},
      {"link lookalike", "<G>G\n\n1 <a=\xE9\xBE\x8D\n", {"link-lookalike:3"}},
      {"no book", "BIBLE\nINDEX_OFF\n", {"empty-module:0"}},
      {"two bytes", "ab", {"empty-module:0"}},
      {"a module file", "\x78\xDA\x01\x02\x03\n\xFF\0", {"empty-module:0"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Compiled run = Compile(c.source);
    EXPECT_EQ(run.Where(), c.where);
    for (const Diagnostic& d : run.diagnostics) EXPECT_EQ(d.file, "src.txt");
  }
}

// The messages say what happened and what to do; the report fields carry
// the tag, its value and the path tried. A module's diagnostics come in line
// order, whatever stage found them.
TEST(DiagnosticsTest, MessagesAndFields) {
  Compiled run = Compile(
      "<G>Genesis 1\n1 a <A=\"Song 9:9\">x</a> <a=\" Nowhere \">y</a>\n"
      "<imagefile>missing.png\nBEGIN_COMMENT\n\n");
  ASSERT_EQ(run.diagnostics.size(), 4u);
  const Diagnostic& image = run.diagnostics[2];
  EXPECT_EQ(image.path, U8(files::AbsolutePath(u"missing.png")));
  EXPECT_EQ(image.message, "the image file \"missing.png\" names no file (tried \"" + image.path +
                               "\"; relative image paths are taken from the folder the build "
                               "runs in, \"" +
                               U8(files::CurrentFolder()) +
                               "\", not from the source's folder); the reference is removed");
  EXPECT_EQ(run.diagnostics[3].message,
            "\"BEGIN_COMMENT\" has no \"END_COMMENT\" after it: the rest of the source, 2 lines "
            "from this one on, is dropped; add \"END_COMMENT\" where the comment ends");
  const Diagnostic& song = run.diagnostics[0];
  EXPECT_EQ(song.link, "A");
  EXPECT_EQ(song.value, "Song 9:9");
  EXPECT_EQ(song.message,
            "the link <A=\"Song 9:9\"> in Genesis 1, verse 1 names no book title or abbreviation "
            "of this module (looked for \"Song of Solomon 9\"); the link is removed, its text "
            "kept: correct the target");
  const Diagnostic& named = run.diagnostics[1];
  EXPECT_EQ(named.link, "a");
  EXPECT_EQ(named.value, "Nowhere");
  run = Compile("<G>Genesis 1\n1 a[b] c\n");
  ASSERT_EQ(run.diagnostics.size(), 1u);
  EXPECT_EQ(run.diagnostics[0].link, "f");
  EXPECT_EQ(run.diagnostics[0].value, "[b]");
  EXPECT_EQ(run.diagnostics[0].message,
            "the footnote marker [b] in Genesis 1, verse 1 has no footnote line starting with it "
            "within reach (the next 201 lines, up to the end of a footnote block); the marker "
            "stays as plain text: add the footnote line or correct the marker");

  run = Compile(std::string("<G>G\n1 a\0b\nc\n", 13));
  ASSERT_EQ(run.diagnostics.size(), 1u);
  EXPECT_EQ(run.diagnostics[0].message,
            "a 0 byte ends the text here: the rest of this line and the 1 line after it are "
            "dropped; remove the 0 byte (is the source a text file?)");
  run = Compile("BIBLE\nintro\nmore\n<G>G\n");
  EXPECT_EQ(run.diagnostics[0].message,
            "2 lines of text before the first book header are dropped, from this one on; a book "
            "starts with a header line such as \"<Genesis>Genesis 1\"");
}

// Windows-1252 punctuation suggests the option while it is off; 20 lines are
// listed, then the total.
TEST(DiagnosticsTest, MalformedUtf8SuggestsTheCodePageAndIsCapped) {
  const std::string source = "<G>G\n1 \x93quoted\x94\n2 \xFF\n";
  Compiled run = Compile(source);
  ASSERT_EQ(run.diagnostics.size(), 2u);
  EXPECT_EQ(run.diagnostics[0].message,
            "bytes that are not UTF-8 (the first is 0x93) are stored as U+FFFD; they look like "
            "Windows-1252 quotation marks or dashes: add the option \"windowspage\" to the module "
            "line, or save the source as UTF-8");
  EXPECT_EQ(run.diagnostics[1].message,
            "bytes that are not UTF-8 (the first is 0xFF) are stored as U+FFFD; save the source "
            "as UTF-8");
  run = Compile(source, u"windowspage");
  EXPECT_EQ(run.Where(), std::vector<std::string>{"malformed-utf8:3"});

  run = Compile("<G>G\n" + Repeat("1 \xFF\n", 25));
  ASSERT_EQ(run.diagnostics.size(), 21u);
  EXPECT_EQ(run.diagnostics[19].line, 21);
  EXPECT_EQ(run.diagnostics[20].line, 0);
  EXPECT_EQ(run.diagnostics[20].message,
            "25 lines in all hold bytes that are not UTF-8; the first 20 are listed, the next is "
            "line 22");
}

// A module lists at most 10,000 diagnostics of a code; one more, for the
// whole file, gives the count of all.
TEST(DiagnosticsTest, EachCodeIsListedAtMostTenThousandTimes) {
  const Compiled run = Compile("<G>G\n1 " + Repeat("<a=\"Nowhere\">x</a> ", 10'003) + "\n");
  ASSERT_EQ(run.diagnostics.size(), 10'001u);
  EXPECT_EQ(run.result.linksUnresolved, 10'003);
  const Diagnostic& last = run.diagnostics.back();
  EXPECT_EQ(last.code, DiagnosticCode::kUnresolvedLink);
  EXPECT_EQ(last.line, 0);
  EXPECT_EQ(last.message,
            "10003 unresolved-link warnings in all; the first 10000 are listed: mend those and "
            "build again to see the others");
  EXPECT_EQ(run.diagnostics[9'999].line, 2);
}

// Diagnostics never change a module byte, and their counts agree with the
// links the module holds.
TEST(DiagnosticsTest, NeverChangeTheModule) {
  const std::string source =
      "\xEF\xBB\xBF"
      "BIBLE\r\nintro\r\n<G>Genesis 1\r\nBEGIN_COMMENT\nx\nEND_COMMENT\n"
      "1 a[a] <A=\"Genesis 1:1\">b</a> <A=\"Nowhere\">c</a> \x93q\x94\n[a] note\n"
      "<Song of Solomon>Song of Solomon 2\n1 <A=\"Song of Solomon 2:1\">d</a>\n";
  NullProgress progress;
  DiagnosticList list;
  CompileResult with =
      CompileModuleFromBytes(u"T", u"T", u"s.txt", u"", Bytes(source), progress, &list);
  CompileResult without =
      CompileModuleFromBytes(u"T", u"T", u"s.txt", u"", Bytes(source), progress);
  EXPECT_EQ(AssembleImage(*with.module), AssembleImage(*without.module));
  EXPECT_EQ(with.linksResolved, 3);
  EXPECT_EQ(with.linksUnresolved, 1);
  EXPECT_EQ(without.linksUnresolved, 1);
  EXPECT_EQ(list.items.size(), 3u);  // text before the book, malformed UTF-8, the link
}

}  // namespace
}  // namespace quillavor
