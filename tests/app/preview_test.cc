// The preview site of small modules built for the purpose: every link lands
// on an anchor that exists and names the right verse, module text never
// turns into markup or script, images are written with their own bytes, and
// the site replaces only an earlier preview.
#include "app/preview.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "app/preview_html.h"
#include "model/errors.h"
#include "model/module_format.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

// A written site: file name -> content.
using Site = std::map<std::string, std::string>;

Site ReadSite(const fs::path& folder) {
  Site site;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      site[fs::relative(entry.path(), folder).generic_string()] = ReadFile(entry.path());
    }
  }
  return site;
}

// Writes the preview of `view` into a fresh folder and reads it back.
Site Preview(const ModuleView& view, const TempDir& dir, const PreviewOptions& options = {}) {
  const fs::path folder = dir.path() / "site";
  WritePreview(view, folder.u16string(), options);
  return ReadSite(folder);
}

// The one place these tests compile a source.
ModuleView Build(std::string_view source) { return testing::CompileToView(source); }

std::string Unescape(std::string s) {
  for (auto [from, to] : {std::pair{"&quot;", "\""}, std::pair{"&#39;", "'"},
                          std::pair{"&lt;", "<"}, std::pair{"&gt;", ">"},
                          std::pair{"&amp;", "&"}}) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + 1)) {
      s.replace(at, std::string_view(from).size(), to);
    }
  }
  return s;
}

struct Link {
  std::string page;
  std::string href;
  std::string title;
  std::string text;
};

std::vector<Link> Links(const Site& site) {
  static const std::regex kLink(R"re(<a ([^>]*)>([^<]*))re");
  static const std::regex kHref(R"re(href="([^"]*)")re");
  static const std::regex kTitle(R"re(title="([^"]*)")re");
  std::vector<Link> links;
  for (const auto& [name, html] : site) {
    if (!name.ends_with(".html")) continue;
    for (std::sregex_iterator it(html.begin(), html.end(), kLink), end; it != end; ++it) {
      const std::string attributes = (*it)[1];
      std::smatch m;
      Link link{name, {}, {}, Unescape((*it)[2])};
      if (std::regex_search(attributes, m, kHref)) link.href = Unescape(m[1]);
      if (std::regex_search(attributes, m, kTitle)) link.title = Unescape(m[1]);
      links.push_back(link);
    }
  }
  return links;
}

// The line of `page` that carries id="id" (the site writes every verse,
// heading and footnote on a line of its own); empty when there is none.
std::string Anchored(const Site& site, const std::string& page, const std::string& id) {
  const auto it = site.find(page);
  if (it == site.end()) return {};
  const size_t at = it->second.find("id=\"" + id + "\"");
  if (at == std::string::npos) return {};
  const size_t start = it->second.rfind('\n', at) + 1;
  return it->second.substr(start, it->second.find('\n', at) - start);
}

// Follows a link: the line of its target, or a failure naming the link.
std::string Follow(const Site& site, const Link& link) {
  const size_t hash = link.href.find('#');
  const std::string file = hash == 0 ? link.page : link.href.substr(0, hash);
  if (hash == std::string::npos) return site.count(file) ? "(page)" : "";
  return Anchored(site, file, link.href.substr(hash + 1));
}

// Every link and image of the site reaches something that exists.
void ExpectNoDeadEnds(const Site& site) {
  for (const Link& link : Links(site)) {
    if (link.href.empty() || link.href.starts_with("http")) continue;
    EXPECT_FALSE(Follow(site, link).empty())
        << link.page << ": \"" << link.text << "\" -> " << link.href;
  }
  static const std::regex kSrc(R"re(src="([^"]*)")re");
  for (const auto& [name, html] : site) {
    for (std::sregex_iterator it(html.begin(), html.end(), kSrc), end; it != end; ++it) {
      EXPECT_TRUE(site.count((*it)[1])) << name << ": missing " << (*it)[1];
    }
  }
}

constexpr std::string_view kLinkSource =
    "BIBLE\n"
    "<Genesis>Genesis 1<note>Followed by <a=\"Exodus 1\">Exodus</a>.<abbrev>Gen 1\n"
    "1 In the beginning.\n"
    "2 And the earth[a] was without form.\n"
    "[a] the earth note\n"
    "3 Light (<A=\"Exo 1:3-5\">three to five</a>) and (<A=\"Genesis 1:1,3\">one and three</a>).\n"
    "<Exodus>Exodus 1<abbrev>Exo 1\n"
    "1 Now these are the names.\n"
    "2 Reuben.\n"
    "3 Issachar.\n"
    "4 Dan.\n"
    "5 All the souls.\n"
    "6 Back to <a=\"Genesis 1\">the start</a>, <r=\"Genesis 1\">in context</a>, "
    "<a=\"Exodus 1#4\">to Dan</a>, <a=\"Songs#One\">to the child</a>, "
    "<A=\"Exo 1\">the chapter</a> and <a=\"Nowhere\">gone</a>.\n"
    "<Hymnal>Songs\n"
    "1 A song.\n"
    "<Song>One\n"
    "1 The first.\n"
    "<Hymnal>More\n"
    "1 Another.\n";

TEST(Preview, EveryLinkKindLandsOnTheVerseItNames) {
  TempDir dir;
  const Site site = Preview(Build(kLinkSource), dir);
  ExpectNoDeadEnds(site);

  struct Case {
    std::string text;         // the link's visible text
    std::string title;        // its tooltip
    std::string targetLine;   // text on the line of its target
  };
  const Case cases[] = {
      {"Exodus", "Exodus 1", ">Exodus 1</h2>"},
      {"[a]", "the earth note", "the earth note"},
      {"three to five", "Exodus 1:3-5", "Issachar."},
      {"one and three", "Genesis 1:1,3", "In the beginning."},
      {"the start", "Genesis 1", ">Genesis 1</h2>"},
      {"in context", "Genesis 1", ">Genesis 1</h2>"},
      {"to Dan", "Exodus 1:4", "Dan."},
      {"to the child", "One", ">One</h2>"},
      {"the chapter", "Exodus 1", ">Exodus 1</h2>"},
  };
  const std::vector<Link> links = Links(site);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto it = std::find_if(links.begin(), links.end(),
                                 [&](const Link& l) { return l.text == c.text; });
    ASSERT_NE(it, links.end());
    EXPECT_EQ(it->title, c.title);
    EXPECT_NE(Follow(site, *it).find(c.targetLine), std::string::npos)
        << it->href << " -> " << Follow(site, *it);
  }
  // The link the build removed is text, as in the module.
  for (const Link& l : links) {
    if (l.page.starts_with("book-")) {
      EXPECT_NE(l.text, "gone");
    }
  }
  EXPECT_NE(site.at("book-1.html").find("and gone."), std::string::npos);
}

TEST(Preview, IndexNamesTheModuleAndListsEveryBookUnderItsName) {
  TempDir dir;
  const Site site = Preview(Build(kLinkSource), dir);
  const std::string& index = site.at("index.html");
  for (std::string_view part :
       {"<h1>Test</h1>", "<td>abbreviation</td><td>T</td>", "<td>kind</td><td>Bible (BIBLE)</td>",
        "<td>verses</td><td>12</td>", "<span class=\"name\">Hymnal</span>",
        "title=\"\"", "id=\"q\""}) {
    if (part == "title=\"\"") {
      EXPECT_EQ(index.find(part), std::string::npos);
      continue;
    }
    EXPECT_NE(index.find(part), std::string::npos) << part;
  }
  // Songs and More share their name; One has its own.
  EXPECT_NE(index.find("Hymnal</span> <span class=\"count\">2 books</span>"), std::string::npos);
}

TEST(Preview, MarkupIsShownAsAReaderShowsIt) {
  struct Case {
    std::string verse;  // a verse line of the source
    std::string html;   // what its page shows for it
  };
  const Case cases[] = {
      {"1 L<sc>ORD</sc> <i>was</i> <b>so</b>",
       "<span class=\"label\">1</span> L<span class=\"sc\">ORD</span> <i>was</i> <b>so</b>"},
      {"<p>2 A paragraph", "class=\"v par\" id=\"v1\"><span class=\"label\">2</span> A paragraph"},
      {"<b><indent>3 Then", "class=\"v ind\" id=\"v2\"><b><span class=\"label\">3</span> Then"},
      {"4 An <unknown> tag and a stray </i> and <cr=x>",
       "An <span class=\"tag\">&lt;unknown&gt;</span> tag and a stray "
       "<span class=\"tag\">&lt;/i&gt;</span> and <span class=\"tag\">&lt;cr=x&gt;</span>"},
      {"5 Open <i>never closed", "Open <i>never closed</i></div>"},
      {"6 a<t>b <noind>Selah</noind> <h>Head</h> <fc>red</fc>",
       "a<span class=\"tab\"></span>b Selah <span class=\"h\">Head</span> "
       "<span class=\"fc\">red</span>"},
      {"7 1 < 2 and x>y", "1 <span class=\"tag\">&lt; 2 and x&gt;</span>y"},
      {"9 a < b", "<span class=\"label\">9</span> a &lt; b</div>"},
      {"<l>8 web <web=\"javascript:alert(1)\">bad</a> <web=\"https://a.example/?a=1&b\">ok</a>",
       "web <span class=\"tag\">&lt;web=&quot;javascript:alert(1)&quot;&gt;</span>bad"
       "<span class=\"tag\">&lt;/a&gt;</span> <a class=\"web\" rel=\"noopener noreferrer\" "
       "href=\"https://a.example/?a=1&amp;b\""},
  };
  std::string source = "<Book>Book\n";
  for (const Case& c : cases) source += c.verse + "\n";
  TempDir dir;
  const Site site = Preview(Build(source), dir);
  const std::string& page = site.at("book-0.html");
  for (const Case& c : cases) {
    EXPECT_NE(page.find(c.html), std::string::npos) << c.verse << "\n" << page;
  }
}

// Tag names and attributes the site writes itself; module text may add none.
void ExpectOnlyOwnMarkup(const Site& site) {
  static const std::set<std::string> kTags = {
      "!DOCTYPE", "html", "head", "meta", "title", "link", "body", "nav", "main", "section",
      "h1",       "h2",   "h3",   "p",    "div",   "span", "sup",  "a",   "i",    "b",
      "br",       "img",  "ul",   "ol",   "li",    "table", "tr",  "td",  "label", "input",
      "script"};
  static const std::set<std::string> kAttributes = {
      "lang", "charset", "http-equiv", "content", "name", "rel",  "href",         "id",
      "class", "title",  "src",        "alt",     "for",  "type", "autocomplete", "spellcheck"};
  static const std::regex kTag(R"re(<(/?)([!A-Za-z0-9-]+)([^>]*)>)re");
  static const std::regex kAttribute(R"re(\s([a-z-]+)(="[^"]*")?)re");
  for (const auto& [name, html] : site) {
    if (!name.ends_with(".html")) continue;
    for (std::sregex_iterator it(html.begin(), html.end(), kTag), end; it != end; ++it) {
      const std::string tag = (*it)[2];
      const std::string attributes = (*it)[3];
      EXPECT_TRUE(kTags.count(tag)) << name << ": <" << tag;
      if (tag == "script" && (*it)[1] == "") {
        EXPECT_TRUE(attributes == " src=\"words.js\"" || attributes == " src=\"search.js\"")
            << name << ": " << attributes;
      }
      if (tag == "!DOCTYPE") continue;
      for (std::sregex_iterator a(attributes.begin(), attributes.end(), kAttribute), aend;
           a != aend; ++a) {
        EXPECT_TRUE(kAttributes.count((*a)[1])) << name << ": attribute " << (*a)[1];
      }
    }
  }
}

TEST(Preview, HostileModuleTextNeverBecomesMarkupOrScript) {
  const std::string source =
      "<Book>Title \"q\" & 'a' <note>Note <script>alert(1)</script> \"&amp;\"\n"
      "1 <script>alert(1)</script> <img src=x onerror=alert(1)> \"&<>'\n"
      "2 </div></main><a href=\"javascript:alert(1)\">x</a> QQQQ RRRR SSSS TTTT\n"
      "3 Words x\"y and </script> and don't\n";
  ModuleView built = Build(source);
  // Units that UTF-8 source text cannot carry, patched into the pool: a lone
  // high and a lone low surrogate, a noncharacter and a control unit.
  std::vector<uint8_t> image(built.image().begin(), built.image().end());
  auto patch = [&](std::string_view marker, char16_t unit) {
    std::vector<uint8_t> needle;
    for (char ch : marker) {
      needle.push_back(static_cast<uint8_t>(ch));
      needle.push_back(0);
    }
    const auto at = std::search(image.begin(), image.end(), needle.begin(), needle.end());
    ASSERT_NE(at, image.end()) << marker;
    at[0] = static_cast<uint8_t>(unit & 0xFF);
    at[1] = static_cast<uint8_t>(unit >> 8);
  };
  patch("QQQQ", 0xD800);
  patch("RRRR", 0xDC00);
  patch("SSSS", 0xFFFF);
  patch("TTTT", 0x0001);
  TempDir dir;
  const Site site = Preview(ModuleView(image), dir);
  ExpectOnlyOwnMarkup(site);
  const std::string& page = site.at("book-0.html");
  const std::string kReplacement = "\xEF\xBF\xBD";
  for (const std::string& part :
       {std::string("Title &quot;q&quot; &amp; &#39;a&#39; </h2>"),
        std::string("Note <span class=\"tag\">&lt;script&gt;</span>alert(1)"),
        std::string("&quot;&amp;amp;&quot;</div>"),
        std::string("<span class=\"tag\">&lt;img src=x onerror=alert(1)&gt;</span> &quot;&amp;"),
        std::string("<span class=\"tag\">&lt;/div&gt;</span><span class=\"tag\">&lt;/main&gt;</span>"), kReplacement + "QQQ " + kReplacement + "RRR " +
                                                       kReplacement + "SSS " + kReplacement + "TTT"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
  }
  // The word list is a script: printable ASCII, every quote and bracket escaped.
  const std::string& words = site.at("words.js");
  for (char ch : words) EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7F)) << int(ch);
  EXPECT_NE(words.find(R"("X\u0022Y","x\u0022y")"), std::string::npos) << words;
  EXPECT_NE(words.find(R"("DON'T")"), std::string::npos);
  EXPECT_EQ(words.find("</"), std::string::npos);
}

TEST(Preview, ImagesAreWrittenWithTheirBytesAndShownWhereReferenced) {
  struct Case {
    std::string bytes;
    std::string file;  // as the site names it, without the position
    bool shown;        // an <img>; otherwise a link to the file
  };
  const Case cases[] = {
      {std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), ".png", true},
      {std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10), ".jpg", true},
      {"GIF89a\x01\0\x01\0", ".gif", true},
      {std::string("BM\x3A\0\0\0\0\0\0\0\x36\0\0\0", 14), ".bmp", true},
      {"plain bytes, no image", ".bin", false},
  };
  TempDir dir;
  std::string source = "<Pictures>Pictures\n";
  for (size_t i = 0; i < std::size(cases); ++i) {
    const fs::path file = dir.Write("image" + std::to_string(i), cases[i].bytes);
    source += "<center>Image " + std::to_string(i) + "\n<imagefile>" + file.string() + "\n";
  }
  const Site site = Preview(Build(source), dir);
  ExpectNoDeadEnds(site);
  const std::string& page = site.at("book-0.html");
  static const std::regex kImage(R"re((src|href)="(images/image-[0-9]+(\.[a-z]+))")re");
  std::vector<std::smatch> found;
  for (std::sregex_iterator it(page.begin(), page.end(), kImage), end; it != end; ++it) {
    found.push_back(*it);
  }
  ASSERT_EQ(found.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].file);
    EXPECT_EQ(found[i][3], cases[i].file);
    EXPECT_EQ(found[i][1], cases[i].shown ? "src" : "href");
    EXPECT_EQ(site.at(found[i][2]), cases[i].bytes);
  }
}

TEST(Preview, SmallPagesKeepEveryVerseAndOccurrenceOnceAndInOrder) {
  std::string source = "<Long>Long\n";
  for (int v = 1; v <= 30; ++v) source += std::to_string(v) + " word and word again\n";
  PreviewOptions options;
  options.namePageWeight = 100;
  options.pageWeight = 300;
  options.occurrencesPerPage = 7;
  TempDir dir;
  const ModuleView view = Build(source);
  const Site site = Preview(view, dir, options);
  ExpectNoDeadEnds(site);
  ExpectOnlyOwnMarkup(site);
  std::map<std::string, int> verses;
  int bookPages = 0;
  static const std::regex kVerse(R"re(id="(v[0-9]+)")re");
  for (const auto& [name, html] : site) {
    if (!name.starts_with("book-")) continue;
    ++bookPages;
    for (std::sregex_iterator it(html.begin(), html.end(), kVerse), end; it != end; ++it) {
      ++verses[(*it)[1]];
    }
  }
  EXPECT_GT(bookPages, 3);
  ASSERT_EQ(verses.size(), 30u);
  for (const auto& [id, n] : verses) EXPECT_EQ(n, 1) << id;
  // Every occurrence is listed once, at most seven to a page.
  static const std::regex kOccurrencePage(R"re(letter-[0-9]+-[0-9]+\.html)re");
  std::map<std::string, int> perPage;
  int listed = 0;
  for (const Link& l : Links(site)) {
    if (std::regex_match(l.page, kOccurrencePage) && l.href.find("#v") != std::string::npos) {
      ++perPage[l.page];
      ++listed;
    }
  }
  EXPECT_EQ(listed, view.counters().wordRefCount);
  EXPECT_GT(perPage.size(), 3u);
  for (const auto& [page, n] : perPage) EXPECT_LE(n, 7) << page;
}

TEST(Preview, ReplacesOnlyAnEarlierPreview) {
  TempDir dir;
  const ModuleView view = Build("<Book>Book\n1 Text\n");
  const fs::path site = dir.path() / "site";
  WritePreview(view, site.u16string());
  dir.Write("site/stale.html", "old");
  // A trailing separator names the same folder.
  WritePreview(view, (site.u16string() + u"/"));
  EXPECT_FALSE(fs::exists(site / "stale.html"));
  EXPECT_TRUE(fs::exists(site / "index.html"));

  const fs::path other = dir.path() / "documents";
  dir.Write("documents/letter.txt", "keep me");
  EXPECT_THROW(WritePreview(view, other.u16string()), IoError);
  EXPECT_EQ(testing::FolderNames(other), std::vector<std::string>{"letter.txt"});
  EXPECT_THROW(WritePreview(view, (other / "letter.txt").u16string()), IoError);
  // Nothing is left beside the folders.
  EXPECT_EQ(testing::FolderNames(dir.path()), (std::vector<std::string>{"documents", "site"}));
}

TEST(Preview, DefaultFolderAndImageField) {
  EXPECT_EQ(DefaultPreviewFolder(u"/m/kjv.quillavor"), u"/m/kjv.preview");
  EXPECT_EQ(DefaultPreviewFolder(u"/m/kjv.quillavor.raw"), u"/m/kjv.quillavor.preview");
  EXPECT_EQ(DefaultPreviewFolder(u"/m.d/kjv"), u"/m.d/kjv.preview");
  EXPECT_EQ(DefaultPreviewFolder(u"kjv"), u"kjv.preview");

  const std::pair<std::u16string_view, std::optional<int32_t>> fields[] = {
      {u"2144    ", 2144},     {u"12345678", 12345678}, {u"0       ", 0},
      {u"        ", std::nullopt}, {u" 12     ", std::nullopt}, {u"12 3    ", std::nullopt},
      {u"12", std::nullopt},    {u"-1      ", std::nullopt},
  };
  for (const auto& [field, value] : fields) {
    EXPECT_EQ(format::ParseImageField(field), value) << testing::U8(field);
  }
}

}  // namespace
}  // namespace quillavor
