#include "source/source_loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/build_options.h"
#include "model/diagnostics.h"
#include "model/errors.h"
#include "model/module.h"
#include "output/module_writer.h"
#include "platform/files.h"
#include "reader/module_reader.h"
#include "source/base64.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using namespace std::string_view_literals;
using testing::Bytes;
using testing::TempDir;
using testing::U16;

// The reference line for image `n`, spelled out independently of the loader.
std::string Ref(int n) {
  std::string number = std::to_string(n);
  number.resize(8, ' ');
  return "<image=" + number + ">\n";
}

struct Prepared {
  std::string text;
  std::unique_ptr<Module> module;
};

Prepared Prepare(std::string_view source, std::u16string_view options = u"") {
  Prepared p{std::string(), std::make_unique<Module>()};
  const std::vector<uint8_t> bytes = Bytes(source);
  p.text = PrepareSource(*p.module, bytes, options);
  return p;
}

std::string ImageBytes(const ImageRecord& image) {
  return std::string(image.data.begin(), image.data.begin() + image.length);
}

// Runs the test body with the process's current directory set to `dir`.
class CurrentDir {
 public:
  explicit CurrentDir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }
  CurrentDir(const CurrentDir&) = delete;
  CurrentDir& operator=(const CurrentDir&) = delete;

 private:
  std::filesystem::path old_;
};

TEST(ImageReferenceLineTest, NumberIsLeftAlignedInEightColumns) {
  EXPECT_EQ(ImageReferenceLine(3), "<image=3       >\n");
  EXPECT_EQ(ImageReferenceLine(12345678), "<image=12345678>\n");
  EXPECT_EQ(ImageReferenceLine(1).size(), 17u);
}

TEST(PrepareSourceTest, TextRules) {
  struct Case {
    const char* name;
    std::string_view source;
    std::string_view prepared;
  };
  const Case cases[] = {
      {"marks at start and middle",
       "\xEF\xBB\xBF"
       "ab\xEF\xBB\xBF"
       "c\n",
       "abc\n"},
      {"mark split by the end", "ab\xEF\xBB", "ab\xEF\xBB"},
      {"incomplete mark kept",
       "\xEF\xBB"
       "x\xEF",
       "\xEF\xBB"
       "x\xEF"},
      {"CR LF", "a\r\nb\r\n", "a\nb\n"},
      {"CR CR LF", "a\r\r\nb", "a\r\nb"},
      {"lone CR", "a\rb\n\r", "a\rb\n\r"},
      {"block comment", "abc BEGIN_COMMENT\nline\nx END_COMMENT y\nnext\n", "abc \nnext\n"},
      {"block comment CR LF", "abc BEGIN_COMMENT\r\nx END_COMMENT y\r\nnext", "abc \nnext"},
      {"block comment to the end", "a BEGIN_COMMENT b END_COMMENT c", "a "},
      {"block comment unclosed", "keep\nBEGIN_COMMENT\nrest\n<comment>\n", "keep\n"},
      {"block comment inside a word", "xBEGIN_COMMENTyEND_COMMENTz\nw", "x\nw"},
      {"block comment case-sensitive", "begin_comment x\nBEGIN_comment\n",
       "begin_comment x\nBEGIN_comment\n"},
      {"end marker alone", "a END_COMMENT b\n", "a END_COMMENT b\n"},
      {"letter B", "Book B BEGIN_COMMEN\n", "Book B BEGIN_COMMEN\n"},
      {"line comment", "verse text <comment> note\nnext", "verse text \nnext"},
      {"line comment CR LF", "a<comment>b\r\nc", "a\nc"},
      {"line comment to the end", "a<comment>b", "a"},
      {"line comment incomplete", "a<comment b\n<", "a<comment b\n<"},
      {"block comment hides a line comment end", "a BEGIN_COMMENT <comment>\nEND_COMMENT\nb",
       "a \nb"},
      {"reference by number", "<image=3       >\n", "<image=3       >\n"},
      {"seven spaces", "<image=       >QQ\n", "<image=       >QQ\n"},
      {"tag case", "<IMAGEFILE>x\n<Comment>y\n", "<IMAGEFILE>x\n<Comment>y\n"},
      {"0 bytes kept", "a\0b\0\n"sv, "a\0b\0\n"sv},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    Prepared p = Prepare(c.source);
    EXPECT_EQ(p.text, c.prepared) << c.name;
    EXPECT_EQ(p.module->images.Length(), 0) << c.name;
  }
}

TEST(PrepareSourceTest, InlineImages) {
  struct Case {
    const char* name;
    std::string source;
    std::string prepared;
    std::vector<std::string> images;
  };
  const std::string tag = "<image=        >";
  const Case cases[] = {
      {"closed", tag + "QUJD</image>rest\n", Ref(1) + "rest\n", {"ABC"}},
      {"padding", "a " + tag + "QUI=</image>\n", "a " + Ref(1) + "\n", {"AB"}},
      {"two characters", tag + "QQ</image>", Ref(1), {"A"}},
      {"single character", tag + "Q</image>", Ref(1), {""}},
      {"empty data", tag + "</image>x", Ref(1) + "x", {""}},
      {"across lines", tag + "QU\r\nJD\n</image>\n", Ref(1) + "\n", {"ABC"}},
      {"unclosed to LF", tag + "QUJD\nnext", Ref(1) + "\nnext", {"ABC"}},
      {"unclosed to CR LF", tag + "QUJD\r\nnext", Ref(1) + "\nnext", {"ABC"}},
      {"unclosed to lone CR", tag + "QUJD\rnext", Ref(1) + "\rnext", {"ABC"}},
      {"unclosed to the end", tag + "QUJD", Ref(1), {"ABC"}},
      {"several unclosed",
       tag + "QQ\n" + tag + "QUI\n" + tag + "QUJD",
       Ref(1) + "\n" + Ref(2) + "\n" + Ref(3),
       {"A", "AB", "ABC"}},
      // The first "</image>" anywhere later closes the data, across lines and
      // over the next tag.
      {"close marker further on",
       tag + "QQ\n" + tag + "QUI</image>y",
       Ref(1) + "y",
       {"\x41\x08\xA6\x6A\x07\x90\x50"}},
      {"close marker inside a later comment",
       tag + "QQ\n<comment></image>\n",
       Ref(1) + "\n",
       {"\x41\x07\x28\x9A\x67\xA7"}},
      {"inside a block comment", "BEGIN_COMMENT " + tag + "QQ</image> END_COMMENT\nx", "\nx", {}},
      {"inside a line comment", "<comment>" + tag + "QQ</image>\nx", "\nx", {}},
      {"after a 0 byte",
       std::string("a\0b", 3) + tag + "QQ</image>",
       std::string("a\0b", 3) + Ref(1),
       {"A"}},
  };
  for (const Case& c : cases) {
    Prepared p = Prepare(c.source);
    EXPECT_EQ(p.text, c.prepared) << c.name;
    ASSERT_EQ(p.module->images.Length(), static_cast<int64_t>(c.images.size())) << c.name;
    for (size_t i = 0; i < c.images.size(); ++i) {
      const ImageRecord& image = p.module->images[static_cast<int64_t>(i)];
      EXPECT_EQ(ImageBytes(image), c.images[i]) << c.name << " image " << i;
      EXPECT_FALSE(image.fileName.has_value()) << c.name;
    }
  }
}

TEST(PrepareSourceTest, ImageRecordSizesAndPadding) {
  const std::string tag = "<image=        >";
  struct Case {
    std::string data;
    int32_t length;
    int32_t paddedLength;
  };
  const Case cases[] = {
      {"", 0, 0},       {"QQ", 1, 4},      {"QUJD", 3, 4},
      {"QUJDRA", 4, 4}, {"QUJDREU", 5, 8}, {"QUJDREVGR0g=", 8, 8},
  };
  for (const Case& c : cases) {
    Prepared p = Prepare(tag + c.data + "</image>");
    ASSERT_EQ(p.module->images.Length(), 1);
    const ImageRecord& image = p.module->images[0];
    EXPECT_EQ(image.length, c.length) << c.data;
    EXPECT_EQ(image.paddedLength, c.paddedLength) << c.data;
    EXPECT_EQ(image.useCount, 0);
    EXPECT_TRUE(image.useVerses.empty());
    EXPECT_TRUE(image.usePositions.empty());
    ASSERT_GE(image.data.size(), static_cast<size_t>(image.paddedLength)) << c.data;
    for (int32_t k = image.length; k < image.paddedLength; ++k) {
      EXPECT_EQ(image.data[static_cast<size_t>(k)], 0) << c.data << " byte " << k;
    }
  }
}

TEST(PrepareSourceTest, WindowsPage) {
  struct Case {
    const char* name;
    std::string_view source;
    std::u16string_view options;
    std::string_view prepared;
  };
  const Case cases[] = {
      {"example",
       "\x93"
       "a\x94",
       u"windowspage",
       "\xE2\x80\x9C"
       "a\xE2\x80\x9D"},
      {"without the option",
       "\x93"
       "a\x94",
       u"",
       "\x93"
       "a\x94"},
      {"option among others", "\x93", u"spanish,windowspage", "\xE2\x80\x9C"},
      {"option is case-sensitive", "\x93", u"WindowsPage", "\x93"},
      {"all six", "\x91\x92\x93\x94\x96\x97", u"windowspage",
       "\xE2\x80\x98\xE2\x80\x99\xE2\x80\x9C\xE2\x80\x9D\xE2\x80\x93\xE2\x80\x94"},
      {"other Windows-1252 bytes", "\x80\x85\x95\x98\x99", u"windowspage", "\x80\x85\x95\x98\x99"},
      // Multi-byte characters whose bytes include the six are left alone.
      {"times, bet, en dash", "\xC3\x97 \xD7\x91 \xE2\x80\x93", u"windowspage",
       "\xC3\x97 \xD7\x91 \xE2\x80\x93"},
      {"four-byte character", "\xF0\x9F\x98\x97\xF4\x8F\x91\x92", u"windowspage",
       "\xF0\x9F\x98\x97\xF4\x8F\x91\x92"},
      {"ED 97 80 is well-formed", "\xED\x97\x80", u"windowspage", "\xED\x97\x80"},
      // Not well-formed: the byte stands on its own and converts.
      {"after an incomplete lead",
       "\xE2\x93"
       "a",
       u"windowspage",
       "\xE2\xE2\x80\x9C"
       "a"},
      {"after C0", "\xC0\x97", u"windowspage", "\xC0\xE2\x80\x94"},
      {"E0 needs A0..BF", "\xE0\x97\x80", u"windowspage", "\xE0\xE2\x80\x94\x80"},
      {"F4 needs 80..8F", "\xF4\x91\x80\x80", u"windowspage", "\xF4\xE2\x80\x98\x80\x80"},
      {"two in a row", "\x97\x97", u"windowspage", "\xE2\x80\x94\xE2\x80\x94"},
      {"lead at the end", "\x96\xC3", u"windowspage", "\xE2\x80\x93\xC3"},
      // The conversion sees the text after the pass: removing a mark can join
      // the bytes of a character.
      {"joined by a removed mark", "\xC3\xEF\xBB\xBF\x97", u"windowspage", "\xC3\x97"},
      {"in longer ASCII runs",
       "abcdefghij\x93klmnopqrstuvwxyz\xC3\x97"
       "0123456789\x94",
       u"windowspage",
       "abcdefghij\xE2\x80\x9Cklmnopqrstuvwxyz\xC3\x97"
       "0123456789\xE2\x80\x9D"},
      {"0 byte copied", "\x93\0\x94"sv, u"windowspage", "\xE2\x80\x9C\0\xE2\x80\x9D"sv},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Prepare(c.source, c.options).text, c.prepared) << c.name;
  }
}

TEST(PrepareSourceTest, ImageFileTwiceGivesOneRecord) {
  TempDir dir;
  const std::string path = dir.Write("pic.png", "PNGDATA").string();
  Prepared p = Prepare("<imagefile>" + path + "\nx\n<imagefile>" + path + "\r\n");
  EXPECT_EQ(p.text, Ref(1) + "\nx\n" + Ref(1) + "\n");
  ASSERT_EQ(p.module->images.Length(), 1);
  const ImageRecord& image = p.module->images[0];
  EXPECT_EQ(ImageBytes(image), "PNGDATA");
  EXPECT_EQ(image.length, 7);
  EXPECT_EQ(image.paddedLength, 8);
  ASSERT_GE(image.data.size(), 8u);
  EXPECT_EQ(image.data[7], 0);
  EXPECT_EQ(image.fileName, U16(path));
}

TEST(PrepareSourceTest, RelativeAndAbsolutePathGiveTwoRecords) {
  TempDir dir;
  const std::string absolute = dir.Write("pic.png", "IMG").string();
  CurrentDir cd(dir.path());
  Prepared p = Prepare("<imagefile>pic.png\n<imagefile>" + absolute + "\n<imagefile>pic.png\n");
  EXPECT_EQ(p.text, Ref(1) + "\n" + Ref(2) + "\n" + Ref(1) + "\n");
  ASSERT_EQ(p.module->images.Length(), 2);
  EXPECT_EQ(p.module->images[0].fileName, u"pic.png");
  EXPECT_EQ(p.module->images[1].fileName, U16(absolute));
  EXPECT_EQ(ImageBytes(p.module->images[0]), "IMG");
  EXPECT_EQ(ImageBytes(p.module->images[1]), "IMG");
  // One file, read once: the two records share its bytes. Another file of
  // the same content is another file.
  EXPECT_TRUE(p.module->images[0].data.SharedWith(p.module->images[1].data));
  const std::string other = dir.Write("copy.png", "IMG").string();
  Prepared q = Prepare("<imagefile>" + absolute + "\n<imagefile>" + other + "\n");
  ASSERT_EQ(q.module->images.Length(), 2);
  EXPECT_FALSE(q.module->images[0].data.SharedWith(q.module->images[1].data));
}

TEST(PrepareSourceTest, RelativePathIsTakenFromTheCurrentDirectory) {
  TempDir cwd;
  TempDir other;
  cwd.Write("pic.png", "CWD");
  other.Write("pic.png", "OTHER");
  CurrentDir cd(cwd.path());
  Prepared p = Prepare("<imagefile>pic.png\n");
  ASSERT_EQ(p.module->images.Length(), 1);
  EXPECT_EQ(ImageBytes(p.module->images[0]), "CWD");
}

TEST(PrepareSourceTest, InlineImageBetweenTwoFilesIsNumberTwo) {
  TempDir dir;
  const std::string a = dir.Write("a.png", "AAAA").string();
  const std::string b = dir.Write("b.png", "BBBBB").string();
  Prepared p =
      Prepare("<imagefile>" + a + "\n<image=        >QUJD</image>\n<imagefile>" + b + "\n");
  EXPECT_EQ(p.text, Ref(1) + "\n" + Ref(2) + "\n" + Ref(3) + "\n");
  ASSERT_EQ(p.module->images.Length(), 3);
  EXPECT_EQ(ImageBytes(p.module->images[0]), "AAAA");
  EXPECT_EQ(ImageBytes(p.module->images[1]), "ABC");
  EXPECT_FALSE(p.module->images[1].fileName.has_value());
  EXPECT_EQ(ImageBytes(p.module->images[2]), "BBBBB");
  EXPECT_EQ(p.module->images[2].paddedLength, 8);
}

TEST(PrepareSourceTest, ImageFilePaths) {
  TempDir dir;
  const std::string path = dir.Write("bild-\xC3\xA4.png", "UMLAUT").string();
  dir.Write("folder.png/inner", "x");
  const std::string folder = (dir.path() / "folder.png").string();
  struct Case {
    const char* name;
    std::string source;
    std::string prepared;
    bool loaded;
  };
  const Case cases[] = {
      {"plain", "<imagefile>" + path + "\n", Ref(1) + "\n", true},
      {"trimmed", "x<imagefile> \t" + path + " \x01\r\ny", "x" + Ref(1) + "\ny", true},
      {"at the end", "<imagefile>" + path, Ref(1), true},
      {"trailing 0 trimmed", "<imagefile>" + path + std::string(1, '\0') + "\n", Ref(1) + "\n",
       true},
      {"missing file vanishes", "a<imagefile>" + path + ".nope\nb", "a\nb", false},
      {"empty path vanishes", "a<imagefile>\nb", "a\nb", false},
      {"inner 0 names no file", "a<imagefile>" + path + std::string(1, '\0') + "x\nb", "a\nb",
       false},
      {"folder is not a file", "a<imagefile>" + folder + "\nb", "a\nb", false},
      {"inside a block comment", "BEGIN_COMMENT<imagefile>" + path + "\nEND_COMMENT\nb", "\nb",
       false},
      {"inside a line comment", "<comment><imagefile>" + path + "\nb", "\nb", false},
  };
  for (const Case& c : cases) {
    Prepared p = Prepare(c.source);
    EXPECT_EQ(p.text, c.prepared) << c.name;
    ASSERT_EQ(p.module->images.Length(), c.loaded ? 1 : 0) << c.name;
    if (c.loaded) {
      EXPECT_EQ(ImageBytes(p.module->images[0]), "UMLAUT") << c.name;
      EXPECT_EQ(p.module->images[0].fileName, U16(path)) << c.name;
    }
  }
}

TEST(PrepareSourceTest, SamePathMeansSameCodeUnits) {
  TempDir dir;
  const std::string path = dir.Write("pic.png", "X").string();
  // "dir/./pic.png" names the same file with other code units: a new record.
  const std::string dotted = (dir.path() / "." / "pic.png").string();
  Prepared p =
      Prepare("<imagefile>" + path + "\n<imagefile>  " + path + "\n<imagefile>" + dotted + "\n");
  EXPECT_EQ(p.text, Ref(1) + "\n" + Ref(1) + "\n" + Ref(2) + "\n");
  EXPECT_EQ(p.module->images.Length(), 2);
}

// With a folder that image files must lie under, every image file that is
// not inside it (with links followed) is dropped as a missing one is, and a
// warning names it and its line; the rest load as usual.
TEST(PrepareSourceTest, ImagesUnderAFolder) {
  namespace fs = std::filesystem;
  TempDir root;
  fs::create_directories(root.path() / "images" / "sub");
  const fs::path inside = root.Write("images/sub/in.png", "IN");
  const fs::path outside = root.Write("secret.txt", "SECRET");
  fs::create_symlink(outside, root.path() / "images" / "leak.png");
  fs::create_symlink(inside, root.path() / "alias.png");
  fs::create_directories(root.path() / "images-2");
  const fs::path sibling = root.Write("images-2/x.png", "SIBLING");
  struct Case {
    const char* name;
    fs::path path;
    bool loads;
  };
  const Case cases[] = {
      {"inside", inside, true},
      {"inside, spelled through \"..\"", root.path() / "images" / "sub" / ".." / "sub" / "in.png",
       true},
      {"a link outside that leads inside", root.path() / "alias.png", true},
      {"outside", outside, false},
      {"a link inside that leads outside", root.path() / "images" / "leak.png", false},
      {"out through \"..\"", root.path() / "images" / ".." / "secret.txt", false},
      {"a folder whose name starts with the allowed one", sibling, false},
      {"a system file", "/etc/hostname", false},
  };
  BuildOptions build;
  build.imagesUnder = files::FromPath(root.path() / "images");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!fs::is_regular_file(c.path)) continue;  // a system without the file
    auto module = std::make_unique<Module>();
    DiagnosticList diagnostics;
    const std::vector<uint8_t> bytes = Bytes("a\n\n<imagefile>" + c.path.string() + "\nb\n");
    const std::string text = PrepareSource(*module, bytes, u"", build, &diagnostics);
    EXPECT_EQ(text, c.loads ? "a\n\n" + Ref(1) + "\nb\n" : "a\n\n\nb\n");
    ASSERT_EQ(module->images.Length(), c.loads ? 1 : 0);
    if (c.loads) {
      EXPECT_EQ(ImageBytes(module->images[0]), "IN");
      EXPECT_EQ(module->images[0].fileName, U16(c.path.string()));  // as written
      EXPECT_TRUE(diagnostics.items.empty());
    } else {
      ASSERT_EQ(diagnostics.items.size(), 1u);
      EXPECT_EQ(diagnostics.items[0].code, DiagnosticCode::kMissingImage);
      EXPECT_EQ(diagnostics.items[0].line, 3);
      EXPECT_EQ(diagnostics.items[0].message,
                "the image file \"" + c.path.string() + "\" lies outside \"" +
                    (root.path() / "images").string() +
                    "\", the folder image files must lie under; the reference is removed");
    }
  }
  auto module = std::make_unique<Module>();
  build.imagesUnder = files::FromPath(root.path() / "none");
  const std::vector<uint8_t> bytes = Bytes("<imagefile>" + inside.string() + "\n");
  EXPECT_THROW(PrepareSource(*module, bytes, u"", build, nullptr), IoError);
}

// A path to an existing regular file that cannot be opened for reading, or an
// empty path when this system has none (a privileged user reads everything).
std::string UnreadableFile(const TempDir& dir) {
  const std::filesystem::path p = dir.Write("locked.png", "LOCKED");
  ::chmod(p.c_str(), 0);
  if (!std::ifstream(p)) return p.string();
  // Write-only attributes refuse reading even to a privileged user.
  for (const char* candidate : {"/sys/class/zram-control/hot_remove", "/sys/bus/pci/rescan"}) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec) && !std::ifstream(candidate)) {
      return candidate;
    }
  }
  return {};
}

TEST(PrepareSourceTest, UnreadableImageFileStopsWithItsName) {
  TempDir dir;
  const std::string path = UnreadableFile(dir);
  if (path.empty()) GTEST_SKIP() << "every file is readable here";
  auto module = std::make_unique<Module>();
  const std::vector<uint8_t> source = Bytes("a\n<imagefile>" + path + "\nb\n");
  try {
    PrepareSource(*module, source, u"");
    FAIL() << "no error for " << path;
  } catch (const IoError& e) {
    EXPECT_EQ(e.path(), path);
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

// A sparse file of `size` bytes, or an empty path when the file system cannot
// make one.
std::string SparseFile(const TempDir& dir, const std::string& name, uintmax_t size) {
  const std::filesystem::path p = dir.Write(name, "");
  std::error_code ec;
  std::filesystem::resize_file(p, size, ec);
  return ec ? std::string() : p.string();
}

TEST(PrepareSourceTest, ImageFileOfTwoGibibytesIsAnError) {
  TempDir dir;
  const std::string path = SparseFile(dir, "huge.png", uintmax_t{1} << 31);
  if (path.empty()) GTEST_SKIP() << "no sparse files here";
  auto module = std::make_unique<Module>();
  const std::vector<uint8_t> source = Bytes("<imagefile>" + path + "\n");
  try {
    PrepareSource(*module, source, u"");
    FAIL() << "no error";
  } catch (const IoError& e) {
    EXPECT_EQ(e.path(), path);
    EXPECT_NE(std::string(e.what()).find("too large"), std::string::npos) << e.what();
  }
}

TEST(ReadSourceFileTest, LoadFailures) {
  TempDir dir;
  const std::string three = dir.Write("three.txt", "abc").string();
  struct Case {
    const char* name;
    std::u16string path;
    bool loads;
  };
  const Case cases[] = {
      {"three bytes", U16(three), true},
      {"trimmed path", u" \t" + U16(three) + u"\r\n", true},
      {"empty file", U16(dir.Write("empty.txt", "").string()), false},
      {"two bytes", U16(dir.Write("two.txt", "ab").string()), false},
      {"missing", U16(three) + u".nope", false},
      {"folder", U16(dir.path().string()), false},
      {"inner 0", U16(three) + std::u16string(1, u'\0') + u"x", false},
      {"empty path", u"", false},
  };
  for (const Case& c : cases) {
    std::optional<std::vector<uint8_t>> bytes = ReadSourceFile(c.path);
    EXPECT_EQ(bytes.has_value(), c.loads) << c.name;
    if (bytes) {
      EXPECT_EQ(*bytes, Bytes("abc")) << c.name;
    }
  }
}

TEST(ReadSourceFileTest, FollowsSymbolicLinks) {
  TempDir dir;
  const std::filesystem::path target = dir.Write("target.txt", "linked");
  const std::filesystem::path link = dir.path() / "link.txt";
  std::filesystem::create_symlink(target, link);
  std::optional<std::vector<uint8_t>> bytes = ReadSourceFile(U16(link.string()));
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(*bytes, Bytes("linked"));
}

TEST(ReadSourceFileTest, TwoGibibytesIsAnError) {
  TempDir dir;
  const std::string path = SparseFile(dir, "huge.txt", uintmax_t{1} << 31);
  if (path.empty()) GTEST_SKIP() << "no sparse files here";
  try {
    ReadSourceFile(U16(path));
    FAIL() << "no error";
  } catch (const IoError& e) {
    EXPECT_EQ(e.path(), path);
    EXPECT_EQ(e.cause(), "file too large: 2147483648 bytes (the limit is 2 GiB - 1)");
  }
}

TEST(ModuleLoadTest, ShortSourcesFailToLoadAndTheModuleCompletes) {
  for (std::string_view source : {""sv, "a"sv, "ab"sv, "\r\n"sv}) {
    std::unique_ptr<Module> m = testing::CompileText(source);
    EXPECT_EQ(m->poolLength, 0) << "source '" << source << "'";
    EXPECT_EQ(m->images.Length(), 0);
    EXPECT_EQ(m->verseCount, 0);
    const std::vector<uint8_t> image = AssembleImage(*m);
    EXPECT_FALSE(image.empty());
    EXPECT_NO_THROW(ModuleView{image});
  }
}

TEST(ModuleLoadTest, ImagesReachTheModuleImage) {
  TempDir dir;
  const std::string path = dir.Write("pic.png", "FILEIMAGE").string();
  std::unique_ptr<Module> m =
      testing::CompileText("<image=        >QUJD</image>\n<imagefile>" + path + "\n");
  ASSERT_EQ(m->images.Length(), 2);
  const ModuleView view(AssembleImage(*m));
  const ImageEntry first = view.ImageAt(m->poolWritten);
  EXPECT_EQ(std::string(first.bytes.begin(), first.bytes.end()), "ABC");
  const ImageEntry second = view.ImageAt(m->poolWritten + (m->images[0].paddedLength + 8) / 2);
  EXPECT_EQ(std::string(second.bytes.begin(), second.bytes.end()), "FILEIMAGE");
}

// The rules of the pass applied literally, one byte position at a time, for
// comparison with the loader's skipping scan. Image files are left out.
std::string LiteralPass(std::string_view s, std::vector<std::string>& images) {
  std::string out;
  size_t i = 0;
  auto lineEnd = [&](size_t from, std::string_view ends) {
    const size_t found = s.find_first_of(ends, from);
    return found == std::string_view::npos ? s.size() : found;
  };
  while (i < s.size()) {
    const std::string_view rest = s.substr(i);
    if (rest.starts_with("\xEF\xBB\xBF")) {
      i += 3;
    } else if (rest.starts_with("\r\n")) {
      i += 1;  // the LF is copied next
    } else if (rest.starts_with("BEGIN_COMMENT")) {
      const size_t close = s.find("END_COMMENT", i + 13);
      if (close == std::string_view::npos) break;
      i = lineEnd(close + 11, "\n");
    } else if (rest.starts_with("<comment>")) {
      i = lineEnd(i + 9, "\n");
    } else if (rest.starts_with("<image=        >")) {
      const size_t start = i + 16;
      const size_t close = s.find("</image>", start);
      const size_t dataEnd = close != std::string_view::npos ? close : lineEnd(start, "\r\n");
      const std::string_view data = s.substr(start, dataEnd - start);
      std::string decoded(static_cast<size_t>(Base64DecodedLength(data)), '\0');
      Base64Decode(data, std::span(reinterpret_cast<uint8_t*>(decoded.data()), decoded.size()));
      images.push_back(decoded);
      out += Ref(static_cast<int>(images.size()));
      i = close != std::string_view::npos ? close + 8 : dataEnd;
    } else {
      out.push_back(s[i]);
      ++i;
    }
  }
  return out;
}

TEST(PrepareSourceTest, MatchesTheLiteralRulesOnRandomText) {
  const std::vector<std::string> pieces = {"\xEF\xBB\xBF",
                                           "\xEF",
                                           "\xBB",
                                           "\r",
                                           "\n",
                                           "\r\n",
                                           "BEGIN_COMMENT",
                                           "END_COMMENT",
                                           "BEGIN_",
                                           "<comment>",
                                           "<image=        >",
                                           "<image=",
                                           "</image>",
                                           "QUJD",
                                           "QQ",
                                           "=",
                                           "B",
                                           "<",
                                           ">",
                                           "x",
                                           "text ",
                                           std::string(1, '\0'),
                                           "\x93",
                                           "\xC3\x97"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string source;
    const int count = static_cast<int>(rng() % 40);
    for (int k = 0; k < count; ++k) source += pieces[rng() % pieces.size()];
    std::vector<std::string> expectedImages;
    const std::string expected = LiteralPass(source, expectedImages);
    Prepared p = Prepare(source);
    ASSERT_EQ(p.text, expected) << "round " << round;
    ASSERT_EQ(p.module->images.Length(), static_cast<int64_t>(expectedImages.size()));
    for (size_t k = 0; k < expectedImages.size(); ++k) {
      ASSERT_EQ(ImageBytes(p.module->images[static_cast<int64_t>(k)]), expectedImages[k])
          << "round " << round;
    }
  }
}

}  // namespace
}  // namespace quillavor
