#include "source/source_loader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <unordered_map>
#include <utility>

#include "model/build_options.h"
#include "model/diagnostics.h"
#include "model/errors.h"
#include "model/module.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "source/base64.h"
#include "source/line_map.h"

namespace quillavor {

namespace {

// The markers of the byte pass, matched byte for byte.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBeginComment = "BEGIN_COMMENT";
constexpr std::string_view kEndComment = "END_COMMENT";
constexpr std::string_view kLineComment = "<comment>";
constexpr std::string_view kInlineImage = "<image=        >";
constexpr std::string_view kInlineImageEnd = "</image>";
constexpr std::string_view kImageFile = "<imagefile>";

constexpr std::u16string_view kWindowsPageOption = u"windowspage";

// Lines with malformed UTF-8 listed one by one per module; the rest are
// counted in one more diagnostic, so that a file in another encoding does not
// bury everything else.
constexpr int64_t kMalformedLinesListed = 20;

// The largest image the module can hold: its length rounded up to 4 must fit
// a signed 32-bit count.
constexpr int64_t kMaxImageLength = files::kMaxFileSize - 4;

// The first bytes of the markers above and CR: the only bytes at which a rule
// other than "copy" can apply.
constexpr std::array<char, 4> kRuleStarts = {'\xEF', '\r', 'B', '<'};

// Finds the next rule-start byte. Each kind of byte is searched with memchr
// and its next position remembered until the pass has gone past it, so every
// byte of the text is scanned once per kind, in fast library code.
class RuleStartScanner {
 public:
  explicit RuleStartScanner(std::string_view text) : text_(text) { next_.fill(kUnknown); }

  // The position of the first rule-start byte at or after `pos`, or the
  // text's size.
  size_t Next(size_t pos) {
    size_t nearest = text_.size();
    for (size_t k = 0; k < kRuleStarts.size(); ++k) {
      if (next_[k] == kUnknown || next_[k] < pos) {
        const void* found = std::memchr(text_.data() + pos, kRuleStarts[k], text_.size() - pos);
        next_[k] = found == nullptr
                       ? text_.size()
                       : static_cast<size_t>(static_cast<const char*>(found) - text_.data());
      }
      nearest = std::min(nearest, next_[k]);
    }
    return nearest;
  }

 private:
  static constexpr size_t kUnknown = std::string_view::npos;

  std::string_view text_;
  // Per kind: a position of that byte (or the size) with none between the
  // position last asked for and it; kUnknown before the first search.
  std::array<size_t, kRuleStarts.size()> next_;
};

std::string PathForMessage(std::u16string_view path) { return text::EncodeUtf8(path); }

int64_t RoundUp(int64_t n, int64_t multiple) { return (n + multiple - 1) / multiple * multiple; }

// The one forward pass over the source bytes. Positions are offsets into
// `src_`; the output is a separate buffer because an image reference can be
// longer than the text it replaces.
class BytePass {
 public:
  // `diagnostics` and `lines` may be null: nothing is reported, no map kept.
  BytePass(Module& module, std::string_view src, const BuildOptions& build,
           DiagnosticSink* diagnostics, LineMap* lines)
      : module_(module),
        src_(src),
        scanner_(src),
        build_(build),
        diagnostics_(diagnostics),
        lines_(lines),
        file_(text::EncodeUtf8(module.sourcePath)) {
    // Image files already in the table are reused by path like new ones.
    for (int64_t i = 0; i < module_.images.Length(); ++i) {
      const ImageRecord& image = module_.images[i];
      if (image.fileName) imageByPath_.emplace(*image.fileName, i + 1);
    }
  }

  std::string Run() {
    out_.reserve(src_.size() + src_.size() / 64);
    // Room for every image the text may hold, so that the table never holds
    // spare records (it would double as it grows).
    module_.images.Reserve(module_.images.Length() + Occurrences(kInlineImage) +
                           Occurrences(kImageFile));
    memory::AdviseLargePages(out_.data(), out_.capacity());
    size_t pos = 0;
    const size_t end = src_.size();
    while (pos < end) {
      // Copy the stretch up to the next byte that may start a rule.
      const size_t next = scanner_.Next(pos);
      out_.append(src_, pos, next - pos);
      if (next == end) break;
      pos = next;
      if (!Step(pos)) break;
    }
    return std::move(out_);
  }

  // The number of lines of the source file as an editor shows them.
  int64_t FileLineCount() {
    const int64_t line = LineAt(src_.size());
    return !src_.empty() && src_.back() == '\n' ? line - 1 : line;
  }

 private:
  int64_t Occurrences(std::string_view marker) const {
    int64_t n = 0;
    for (size_t at = src_.find(marker); at != std::string_view::npos;
         at = src_.find(marker, at + marker.size())) {
      ++n;
    }
    return n;
  }

  bool At(size_t pos, std::string_view marker) const {
    return src_.substr(pos).starts_with(marker);
  }

  // Applies the first rule that matches at `pos` (a rule-start byte) and
  // advances `pos`. Returns false when the prepared text ends here.
  bool Step(size_t& pos) {
    if (At(pos, kByteOrderMark)) {
      pos += kByteOrderMark.size();
    } else if (At(pos, "\r\n")) {
      out_.push_back('\n');
      pos += 2;
    } else if (At(pos, kBeginComment)) {
      const size_t close = src_.find(kEndComment, pos + kBeginComment.size());
      // Without an end marker the rest of the text is dropped.
      if (close == std::string_view::npos) {
        if (diagnostics_ != nullptr) ReportUnterminatedComment(pos);
        return false;
      }
      const size_t resume = LineEndAfter(close + kEndComment.size(), "\n");
      // The text before the marker and the line end after the end marker
      // make one prepared line; the next one is the line after that end.
      if (lines_ != nullptr) lines_->Resume(OutLine() + 1, LineAt(resume) + 1);
      pos = resume;
    } else if (At(pos, kLineComment)) {
      pos = LineEndAfter(pos + kLineComment.size(), "\n");
    } else if (At(pos, kInlineImage)) {
      pos = InlineImage(pos + kInlineImage.size());
    } else if (At(pos, kImageFile)) {
      pos = ImageFile(pos + kImageFile.size());
    } else {
      out_.push_back(src_[pos]);
      ++pos;
    }
    return true;
  }

  // The position of the first of `ends` at or after `pos`, or the text's end.
  size_t LineEndAfter(size_t pos, std::string_view ends) const {
    const size_t found = src_.find_first_of(ends, pos);
    return found == std::string_view::npos ? src_.size() : found;
  }

  // Base64 data from `start` up to "</image>", or to the line end when no
  // "</image>" follows. Returns the position where reading continues.
  size_t InlineImage(size_t start) {
    size_t dataEnd;
    size_t resume;
    // Once a search has failed, every later one would fail too: skip it, so
    // that many unclosed images do not rescan the rest of the text each.
    const size_t close =
        start >= noImageEndFrom_ ? std::string_view::npos : src_.find(kInlineImageEnd, start);
    if (close != std::string_view::npos) {
      dataEnd = close;
      resume = close + kInlineImageEnd.size();
    } else {
      noImageEndFrom_ = std::min(noImageEndFrom_, start);
      dataEnd = LineEndAfter(start, "\r\n");
      resume = dataEnd;
    }
    const std::string_view data = src_.substr(start, dataEnd - start);
    const int64_t length = Base64DecodedLength(data);
    if (length > kMaxImageLength) {
      throw SourceError("inline image of " + std::to_string(length) +
                        " bytes is too large (the limit is 2 GiB - 4 bytes)");
    }
    // The buffer is rounded up to 8 bytes and zero-filled, which covers the
    // padding up to a multiple of 4.
    std::vector<uint8_t> bytes(static_cast<size_t>(RoundUp(length, 8)));
    const int64_t written = Base64Decode(data, bytes);
    WriteReference(AppendImage(std::move(bytes), written, std::nullopt));
    // The rest of the line where the data ends follows the reference line.
    if (lines_ != nullptr) lines_->Resume(OutLine(), LineAt(resume));
    return resume;
  }

  // An image file path from `start` to the line end. Returns the position of
  // that line end.
  size_t ImageFile(size_t start) {
    const size_t lineEnd = LineEndAfter(start, "\r\n");
    // The path is trimmed but never cut at an inner 0: such a path names no
    // file, and the reference vanishes like any other missing file.
    const std::u16string path = text::Trim(text::DecodeUtf8(src_.substr(start, lineEnd - start)));
    if (!files::IsRegularFile(path)) {
      if (diagnostics_ != nullptr) ReportMissingImage(start, path);
      return lineEnd;
    }
    std::u16string readFrom = path;
    if (!build_.imagesUnder.empty()) {
      std::optional<std::u16string> real = files::RealPath(path);
      if (!real || !IsInsideImagesFolder(*real)) {
        if (diagnostics_ != nullptr) {
          ReportImage(start, path,
                      "the image file \"" + PathForMessage(path) + "\" lies outside \"" +
                          PathForMessage(build_.imagesUnder) +
                          "\", the folder image files must lie under; the reference is removed");
        }
        return lineEnd;
      }
      readFrom = std::move(*real);  // what was checked is what is read
    }
    if (auto found = imageByPath_.find(path); found != imageByPath_.end()) {
      WriteReference(found->second);
      ResumeAfterReference(lineEnd);
      return lineEnd;
    }
    // One file named by two spellings gives two records (the rules make one
    // per path) but is read once: the records share its bytes.
    SharedBytes bytes;
    int64_t length = 0;
    const std::optional<files::FileIdentity> identity = files::IdentityOf(readFrom);
    const auto read = identity ? imageByFile_.find(*identity) : imageByFile_.end();
    if (read != imageByFile_.end()) {
      bytes = module_.images[read->second].data;
      length = module_.images[read->second].length;
    } else {
      files::FileIdentity readIdentity;
      std::vector<uint8_t> data = files::ReadWholeFile(readFrom, &readIdentity);
      length = static_cast<int64_t>(data.size());
      if (length > kMaxImageLength) {
        throw IoError(PathForMessage(path), "image file too large: " + std::to_string(length) +
                                                " bytes (the limit is 2 GiB - 4 bytes)");
      }
      data.resize(static_cast<size_t>(RoundUp(length, 4)));
      bytes = std::move(data);
      imageByFile_.emplace(readIdentity, module_.images.Length());
    }
    const int64_t number = AppendImage(std::move(bytes), length, path);
    imageByPath_.emplace(path, number);
    WriteReference(number);
    ResumeAfterReference(lineEnd);
    return lineEnd;
  }

  // An image file's own line end follows its reference line: one more
  // prepared line, on the same file line.
  void ResumeAfterReference(size_t lineEnd) {
    if (lines_ != nullptr) lines_->Resume(OutLine(), LineAt(lineEnd));
  }

  void Report(DiagnosticCode code, size_t pos, std::string message, std::string path = {}) {
    Diagnostic d;
    d.code = code;
    d.file = file_;
    d.line = LineAt(pos);
    d.message = std::move(message);
    d.path = std::move(path);
    diagnostics_->Report(std::move(d));
  }

  void ReportImage(size_t pos, std::u16string_view path, std::string message) {
    Report(DiagnosticCode::kMissingImage, pos, std::move(message),
           PathForMessage(files::AbsolutePath(path)));
  }

  void ReportMissingImage(size_t pos, std::u16string_view path) {
    const std::string tried = PathForMessage(files::AbsolutePath(path));
    std::string message = "the image file \"" + PathForMessage(path) + "\" ";
    message += files::IsFolder(path) ? "is a folder" : "names no file";
    message += " (tried \"" + tried + "\"";
    if (!files::ToPath(path).is_absolute()) {
      message += "; relative image paths are taken from the folder the build runs in, \"" +
                 PathForMessage(files::CurrentFolder()) + "\", not from the source's folder";
    }
    message += "); the reference is removed";
    ReportImage(pos, path, std::move(message));
  }

  void ReportUnterminatedComment(size_t pos) {
    const int64_t line = LineAt(pos);
    const int64_t dropped = FileLineCount() - line + 1;
    Report(DiagnosticCode::kUnterminatedComment, pos,
           "\"BEGIN_COMMENT\" has no \"END_COMMENT\" after it: the rest of the source, " +
               std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
               " from this one on, is dropped; add \"END_COMMENT\" where the comment ends");
  }

  // The prepared line being written: the number of LFs written so far.
  int64_t OutLine() {
    outLines_ +=
        std::count(out_.begin() + static_cast<std::ptrdiff_t>(outCountedTo_), out_.end(), '\n');
    outCountedTo_ = out_.size();
    return outLines_;
  }

  // Appends an image record; returns its 1-based number.
  int64_t AppendImage(SharedBytes data, int64_t length, std::optional<std::u16string> fileName) {
    const int64_t index = module_.images.Length();
    module_.images.SetLength(index + 1);
    ImageRecord& image = module_.images[index];
    image.useCount = 0;
    image.length = static_cast<int32_t>(length);
    image.paddedLength = static_cast<int32_t>(RoundUp(length, 4));
    image.data = std::move(data);
    image.fileName = std::move(fileName);
    return index + 1;
  }

  void WriteReference(int64_t number) { out_ += ImageReferenceLine(number); }

  // True when `realPath` (resolved) lies inside the folder of
  // BuildOptions::imagesUnder, which is resolved at the first question.
  bool IsInsideImagesFolder(std::u16string_view realPath) {
    if (imagesFolder_.empty()) {
      std::optional<std::u16string> folder = files::RealPath(build_.imagesUnder);
      if (!folder || !files::IsFolder(*folder)) {
        throw IoError(PathForMessage(build_.imagesUnder),
                      "no folder at the path that image files must lie under");
      }
      imagesFolder_ = std::move(*folder);
      if (!imagesFolder_.ends_with(u'/')) imagesFolder_ += u'/';
    }
    return realPath.starts_with(imagesFolder_);
  }

  // The source line (counted by LF bytes) that holds the byte at `pos`.
  // The count moves from the position asked for last, which is cheap while
  // positions are asked for in ascending order, as the pass goes.
  int64_t LineAt(size_t pos) {
    auto at = [this](size_t p) { return src_.begin() + static_cast<std::ptrdiff_t>(p); };
    if (pos >= linesCountedTo_) {
      lineCount_ += std::count(at(linesCountedTo_), at(pos), '\n');
    } else {
      lineCount_ -= std::count(at(pos), at(linesCountedTo_), '\n');
    }
    linesCountedTo_ = pos;
    return lineCount_ + 1;
  }

  Module& module_;
  std::string_view src_;
  RuleStartScanner scanner_;
  const BuildOptions& build_;
  DiagnosticSink* diagnostics_;
  LineMap* lines_;
  std::string file_;             // the source path, for diagnostics
  std::u16string imagesFolder_;  // resolved, with a final "/"; empty until needed
  size_t linesCountedTo_ = 0;    // LF bytes before this position are in lineCount_
  int64_t lineCount_ = 0;
  size_t outCountedTo_ = 0;  // LF bytes of out_ before this position are in outLines_
  int64_t outLines_ = 0;
  std::string out_;
  std::unordered_map<std::u16string, int64_t> imageByPath_;  // path -> image number
  // The record holding the bytes of each image file read, by its identity.
  struct IdentityHash {
    size_t operator()(const files::FileIdentity& id) const {
      return std::hash<uint64_t>()(id.device * 0x9E3779B97F4A7C15ULL ^ id.inode);
    }
  };
  std::unordered_map<files::FileIdentity, int64_t, IdentityHash> imageByFile_;
  size_t noImageEndFrom_ = std::string_view::npos;           // no "</image>" at or after this
};

// The length of the well-formed UTF-8 sequence starting at `pos` (Unicode's
// table of well-formed byte sequences), or 0 when none starts there.
size_t WellFormedLength(std::string_view s, size_t pos) {
  auto byte = [&](size_t k) -> int {
    return pos + k < s.size() ? static_cast<uint8_t>(s[pos + k]) : -1;
  };
  auto in = [](int b, int lo, int hi) { return b >= lo && b <= hi; };
  const int b0 = byte(0);
  if (b0 < 0x80) return 1;
  const int b1 = byte(1);
  if (in(b0, 0xC2, 0xDF)) return in(b1, 0x80, 0xBF) ? 2 : 0;
  int lo = 0x80;
  int hi = 0xBF;
  size_t length = 0;
  if (in(b0, 0xE0, 0xEF)) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (in(b0, 0xF0, 0xF4)) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (!in(b1, lo, hi)) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (!in(byte(k), 0x80, 0xBF)) return 0;
  }
  return length;
}

// The UTF-8 form of a converted Windows-1252 byte, or empty for other bytes.
std::string_view WindowsPunctuation(uint8_t b) {
  switch (b) {
    case 0x91:
      return "\xE2\x80\x98";  // left single quotation mark
    case 0x92:
      return "\xE2\x80\x99";  // right single quotation mark
    case 0x93:
      return "\xE2\x80\x9C";  // left double quotation mark
    case 0x94:
      return "\xE2\x80\x9D";  // right double quotation mark
    case 0x96:
      return "\xE2\x80\x93";  // en dash
    case 0x97:
      return "\xE2\x80\x94";  // em dash
    default:
      return {};
  }
}

// The position of the first byte at or after `pos` that belongs to no
// well-formed UTF-8 character, or the text's size. ASCII is skipped eight
// bytes at a time.
size_t NextMalformedByte(std::string_view text, size_t pos) {
  constexpr uint64_t kHighBits = 0x8080808080808080;
  while (pos < text.size()) {
    uint64_t word;
    if (pos + sizeof word <= text.size()) {
      std::memcpy(&word, text.data() + pos, sizeof word);
      if ((word & kHighBits) == 0) {
        pos += sizeof word;
        continue;
      }
    }
    if (static_cast<uint8_t>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const size_t length = WellFormedLength(text, pos);
    if (length == 0) return pos;
    pos += length;
  }
  return pos;
}

// The "windowspage" conversion on `text` itself. Most texts hold no byte to
// convert: they are only read, and the copy starts at the first conversion.
void ConvertWindowsPunctuationInPlace(std::string& text) {
  std::string out;
  bool converting = false;
  size_t copiedTo = 0;  // text before this position is in `out`
  // A whole well-formed character is kept, whatever its bytes.
  for (size_t pos = NextMalformedByte(text, 0); pos < text.size();
       pos = NextMalformedByte(text, pos + 1)) {
    const uint8_t b = static_cast<uint8_t>(text[pos]);
    const std::string_view converted = WindowsPunctuation(b);
    if (!converted.empty()) {
      if (!converting) {
        out.reserve(text.size() + text.size() / 16);
        converting = true;
      }
      out.append(text, copiedTo, pos - copiedTo);
      out += converted;
      copiedTo = pos + 1;
    }
  }
  if (!converting) return;
  out.append(text, copiedTo, text.size() - copiedTo);
  text.swap(out);
}

bool IsWindowsPunctuation(uint8_t b) { return !WindowsPunctuation(b).empty(); }

// Reports the lines of `text` that hold bytes that are not UTF-8: each of the
// first kMalformedLinesListed such lines, then the total. `windowsPageOn`:
// the conversion has run, so the suggestion to turn it on is not made.
void ReportMalformedUtf8(std::string_view text, const LineMap& map, bool windowsPageOn,
                         const std::string& file, DiagnosticSink& sink) {
  int64_t linesWithBadBytes = 0;
  int64_t firstUnlisted = 0;
  // The line being gathered: its prepared line, its first bad byte, and
  // whether any of its bad bytes is a Windows-1252 punctuation byte.
  int64_t pendingLine = -1;
  uint8_t firstBad = 0;
  bool windowsLike = false;
  int64_t preparedLine = 0;
  size_t countedTo = 0;
  auto flush = [&] {
    if (pendingLine < 0) return;
    ++linesWithBadBytes;
    const int64_t fileLine = map.FileLine(pendingLine);
    if (linesWithBadBytes > kMalformedLinesListed) {
      if (firstUnlisted == 0) firstUnlisted = fileLine;
      return;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(firstBad));
    std::string message =
        std::string("bytes that are not UTF-8 (the first is ") + hex + ") are stored as U+FFFD";
    if (windowsLike && !windowsPageOn) {
      message +=
          "; they look like Windows-1252 quotation marks or dashes: add the option "
          "\"windowspage\" to the module line, or save the source as UTF-8";
    } else {
      message += "; save the source as UTF-8";
    }
    sink.Report(
        Diagnostic{DiagnosticCode::kMalformedUtf8, file, fileLine, std::move(message), {}, {}, {}});
  };
  for (size_t pos = NextMalformedByte(text, 0); pos < text.size();
       pos = NextMalformedByte(text, pos + 1)) {
    const uint8_t b = static_cast<uint8_t>(text[pos]);
    preparedLine += std::count(text.begin() + static_cast<std::ptrdiff_t>(countedTo),
                               text.begin() + static_cast<std::ptrdiff_t>(pos), '\n');
    countedTo = pos;
    if (preparedLine != pendingLine) {
      flush();
      pendingLine = preparedLine;
      firstBad = b;
      windowsLike = false;
    }
    windowsLike |= IsWindowsPunctuation(b);
  }
  flush();
  if (linesWithBadBytes > kMalformedLinesListed) {
    sink.Report(Diagnostic{DiagnosticCode::kMalformedUtf8,
                           file,
                           0,
                           std::to_string(linesWithBadBytes) +
                               " lines in all hold bytes that are not UTF-8; the first " +
                               std::to_string(kMalformedLinesListed) +
                               " are listed, the next is line " + std::to_string(firstUnlisted),
                           {},
                           {},
                           {}});
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadSourceFile(std::u16string_view sourcePath) {
  const std::u16string path = text::Trim(sourcePath);
  if (!files::IsRegularFile(path)) return std::nullopt;
  std::ifstream in(files::ToPath(path), std::ios::binary);
  if (!in) return std::nullopt;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (!in || size < 0) return std::nullopt;
  if (size >= files::kMaxFileSize) {
    throw IoError(PathForMessage(path),
                  "file too large: " + std::to_string(size) + " bytes (the limit is 2 GiB - 1)");
  }
  if (size <= 2) return std::nullopt;
  in.seekg(0, std::ios::beg);
  // On large pages: a whole Bible's bytes would otherwise cost a page fault
  // per 4 KiB.
  std::vector<uint8_t> bytes = memory::ZeroedBytes(static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), size);
  if (in.gcount() != size) return std::nullopt;
  return bytes;
}

std::string PrepareSource(Module& module, std::span<const uint8_t> bytes,
                          std::u16string_view options) {
  return PrepareSource(module, bytes, options, BuildOptions{}, nullptr);
}

std::string PrepareSource(Module& module, std::span<const uint8_t> bytes,
                          std::u16string_view options, const BuildOptions& build,
                          DiagnosticSink* diagnostics, LineMap* lines) {
  const std::string_view src(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // Diagnostics name file lines, so the map is kept whenever they are wanted.
  LineMap ownMap;
  LineMap* map = lines != nullptr ? lines : diagnostics != nullptr ? &ownMap : nullptr;
  BytePass pass(module, src, build, diagnostics, map);
  std::string prepared = pass.Run();
  const bool windowsPageOn = options.find(kWindowsPageOption) != std::u16string_view::npos;
  if (windowsPageOn) ConvertWindowsPunctuationInPlace(prepared);
  if (diagnostics == nullptr) return prepared;

  const std::string file = text::EncodeUtf8(module.sourcePath);
  // The later stages read the text up to its first 0 byte.
  const size_t zero = prepared.find('\0');
  const std::string_view read = std::string_view(prepared).substr(0, zero);
  if (zero != std::string::npos) {
    const int64_t line = map->FileLine(std::count(read.begin(), read.end(), '\n'));
    const int64_t after = std::max<int64_t>(pass.FileLineCount() - line, 0);
    diagnostics->Report(
        Diagnostic{DiagnosticCode::kNulByte,
                   file,
                   line,
                   "a 0 byte ends the text here: the rest of this line and the " +
                       std::to_string(after) + (after == 1 ? " line" : " lines") +
                       " after it are dropped; remove the 0 byte (is the source a text file?)",
                   {},
                   {},
                   {}});
  }
  ReportMalformedUtf8(read, *map, windowsPageOn, file, *diagnostics);
  return prepared;
}

std::string ConvertWindowsPunctuation(std::string_view text) {
  std::string out(text);
  ConvertWindowsPunctuationInPlace(out);
  return out;
}

std::string ImageReferenceLine(int64_t number) {
  char line[32];
  const int n =
      std::snprintf(line, sizeof line, "<image=%-8lld>\n", static_cast<long long>(number));
  return std::string(line, static_cast<size_t>(n));
}

}  // namespace quillavor
