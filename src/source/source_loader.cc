#include "source/source_loader.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <unordered_map>
#include <utility>

#include "model/errors.h"
#include "model/module.h"
#include "platform/files.h"
#include "platform/text.h"
#include "source/base64.h"

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

// The largest image the module can hold: its length rounded up to 4 must fit
// a signed 32-bit count.
constexpr int64_t kMaxImageLength = files::kMaxFileSize - 4;

// The first bytes of the markers above and CR: the only bytes at which a rule
// other than "copy" can apply.
constexpr std::array<bool, 256> MakeRuleStarts() {
  std::array<bool, 256> starts{};
  starts[0xEF] = true;
  starts['\r'] = true;
  starts['B'] = true;
  starts['<'] = true;
  return starts;
}
constexpr std::array<bool, 256> kRuleStarts = MakeRuleStarts();

std::string PathForMessage(std::u16string_view path) { return text::EncodeUtf8(path); }

int64_t RoundUp(int64_t n, int64_t multiple) { return (n + multiple - 1) / multiple * multiple; }

// The one forward pass over the source bytes. Positions are offsets into
// `src_`; the output is a separate buffer because an image reference can be
// longer than the text it replaces.
class BytePass {
 public:
  BytePass(Module& module, std::string_view src) : module_(module), src_(src) {
    // Image files already in the table are reused by path like new ones.
    for (int64_t i = 0; i < module_.images.Length(); ++i) {
      const ImageRecord& image = module_.images[i];
      if (image.fileName) imageByPath_.emplace(*image.fileName, i + 1);
    }
  }

  std::string Run() {
    out_.reserve(src_.size() + src_.size() / 64);
    size_t pos = 0;
    const size_t end = src_.size();
    while (pos < end) {
      // Copy the stretch up to the next byte that may start a rule.
      size_t next = pos;
      while (next < end && !kRuleStarts[static_cast<uint8_t>(src_[next])]) ++next;
      out_.append(src_, pos, next - pos);
      if (next == end) break;
      pos = next;
      if (!Step(pos)) break;
    }
    return std::move(out_);
  }

 private:
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
      if (close == std::string_view::npos) return false;
      pos = LineEndAfter(close + kEndComment.size(), "\n");
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
    return resume;
  }

  // An image file path from `start` to the line end. Returns the position of
  // that line end.
  size_t ImageFile(size_t start) {
    const size_t lineEnd = LineEndAfter(start, "\r\n");
    // The path is trimmed but never cut at an inner 0: such a path names no
    // file, and the reference vanishes like any other missing file.
    const std::u16string path = text::Trim(text::DecodeUtf8(src_.substr(start, lineEnd - start)));
    if (!files::IsRegularFile(path)) return lineEnd;
    if (auto found = imageByPath_.find(path); found != imageByPath_.end()) {
      WriteReference(found->second);
      return lineEnd;
    }
    std::vector<uint8_t> bytes = files::ReadWholeFile(path);
    const int64_t length = static_cast<int64_t>(bytes.size());
    if (length > kMaxImageLength) {
      throw IoError(PathForMessage(path), "image file too large: " + std::to_string(length) +
                                              " bytes (the limit is 2 GiB - 4 bytes)");
    }
    bytes.resize(static_cast<size_t>(RoundUp(length, 4)));
    const int64_t number = AppendImage(std::move(bytes), length, path);
    imageByPath_.emplace(path, number);
    WriteReference(number);
    return lineEnd;
  }

  // Appends an image record; returns its 1-based number.
  int64_t AppendImage(std::vector<uint8_t> data, int64_t length,
                      std::optional<std::u16string> fileName) {
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

  Module& module_;
  std::string_view src_;
  std::string out_;
  std::unordered_map<std::u16string, int64_t> imageByPath_;  // path -> image number
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
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), size);
  if (in.gcount() != size) return std::nullopt;
  return bytes;
}

std::string PrepareSource(Module& module, std::span<const uint8_t> bytes,
                          std::u16string_view options) {
  const std::string_view src(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string prepared = BytePass(module, src).Run();
  if (options.find(kWindowsPageOption) != std::u16string_view::npos) {
    prepared = ConvertWindowsPunctuation(prepared);
  }
  return prepared;
}

std::string ConvertWindowsPunctuation(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const uint8_t b = static_cast<uint8_t>(text[pos]);
    if (b < 0x80) {
      size_t next = pos + 1;
      while (next < text.size() && static_cast<uint8_t>(text[next]) < 0x80) ++next;
      out.append(text, pos, next - pos);
      pos = next;
      continue;
    }
    // A whole well-formed character is copied, whatever its bytes.
    const size_t length = WellFormedLength(text, pos);
    if (length > 0) {
      out.append(text, pos, length);
      pos += length;
      continue;
    }
    const std::string_view converted = WindowsPunctuation(b);
    if (converted.empty()) {
      out.push_back(text[pos]);
    } else {
      out += converted;
    }
    ++pos;
  }
  return out;
}

std::string ImageReferenceLine(int64_t number) {
  char line[32];
  const int n =
      std::snprintf(line, sizeof line, "<image=%-8lld>\n", static_cast<long long>(number));
  return std::string(line, static_cast<size_t>(n));
}

}  // namespace quillavor
