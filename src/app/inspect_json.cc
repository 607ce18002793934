// The JSON dump: a sink of the module walk. Every value is serialised by the
// JSON library; the sink only lays the document out, one record per line, and
// streams it, so that a module of a million occurrences is never held as one
// JSON tree.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/inspect.h"
#include "model/module_format.h"
#include "platform/text.h"

namespace quillavor {

namespace {

using Json = nlohmann::ordered_json;  // keys in the order written

Json Str(const StringItem& s) { return s.readable() ? Json(text::EncodeUtf8(s.text)) : Json(); }

// Sets `key` to the string, noting its damage in `damage`.
void PutString(Json& j, const char* key, const StringItem& s, Json& damage) {
  j[key] = Str(s);
  if (!s.damage.empty()) damage.push_back(s.damage);
}

void PutDamage(Json& j, Json& damage) {
  if (!damage.empty()) j["damage"] = std::move(damage);
}

Json RefJson(const RefItem& ref) {
  Json j;
  if (ref.kind == format::kBookKind) {
    j["kind"] = "book";
  } else if (ref.kind == format::kVerseKind) {
    j["kind"] = "verse";
  } else {
    j["kind"] = ref.kind;
  }
  j["index"] = ref.index;
  j["run"] = ref.run;
  if (!ref.damage.empty()) {
    j["damage"] = ref.damage;
    return j;
  }
  Json damage = Json::array();
  if (ref.kind == format::kBookKind) {
    PutString(j, "title", ref.title, damage);
  } else if (ref.kind == format::kVerseKind) {
    j["book"] = ref.book;
    PutString(j, "bookTitle", ref.title, damage);
    PutString(j, "label", ref.label, damage);
  }
  PutDamage(j, damage);
  return j;
}

Json LinkJson(const LinkItem& link) {
  Json j;
  j["tag"] = text::EncodeUtf8(std::u16string(1, link.tag));
  switch (link.form) {
    case LinkItem::Form::kEncoded: {
      j["form"] = "encoded";
      Json refs = Json::array();
      for (const RefItem& ref : link.refs) refs.push_back(RefJson(ref));
      j["refs"] = std::move(refs);
      break;
    }
    case LinkItem::Form::kDecimal:
      j["form"] = "decimal";
      j["value"] = text::EncodeUtf8(link.value);
      j["first"] = RefJson(link.refs.front());
      if (link.second) j["second"] = RefJson(*link.second);
      if (link.context) j["context"] = RefJson(*link.context);
      break;
    case LinkItem::Form::kFootnote: {
      j["form"] = "footnote";
      j["position"] = link.position;
      Json damage = Json::array();
      PutString(j, "text", link.note, damage);
      PutDamage(j, damage);
      break;
    }
    case LinkItem::Form::kUnreadable:
      j["form"] = "unreadable";
      j["value"] = text::EncodeUtf8(link.value);
      break;
  }
  return j;
}

const char* ArrayKey(Section s) {
  switch (s) {
    case Section::kBookNames:
      return "bookNames";
    case Section::kBooks:
      return "books";
    case Section::kVerses:
      return "verses";
    case Section::kWords:
      return "words";
    case Section::kOccurrences:
      return "wordRefs";
    case Section::kLinks:
      return "links";
    case Section::kImages:
      return "images";
    case Section::kCounters:
    case Section::kWordOrder:
    case Section::kConcordance:
      break;
  }
  return nullptr;
}

class JsonSink : public InspectSink {
 public:
  explicit JsonSink(std::ostream& out) : out_(out) {}

  bool Wants(Section s) const override { return s != Section::kWordOrder; }

  void Begin(Section s, size_t) override {
    if (const char* key = ArrayKey(s)) {
      out_ << ",\n  " << Json(key).dump() << ": [";
      first_ = true;
    }
  }

  void End(Section s) override {
    if (ArrayKey(s) != nullptr) out_ << "]";
  }

  void OnCounters(const Counters& c, const StringItem& name) override {
    Json j;
    j["poolLength"] = c.poolLength;
    j["bookNameCount"] = c.bookNameCount;
    j["bookCount"] = c.bookCount;
    j["verseCount"] = c.verseCount;
    j["labelCount"] = c.labelCount;
    j["wordCount"] = c.wordCount;
    j["wordRefCount"] = c.wordRefCount;
    j["labelFirst"] = c.labelFirst;
    j["labelLast"] = c.labelLast;
    j["wordFirst"] = c.wordFirst;
    j["wordLast"] = c.wordLast;
    j["tokenTotal"] = c.tokenTotal;
    j["flags"] = c.flags;
    out_ << "{\n  \"counters\": " << j.dump() << ",\n  \"name\": " << Str(name).dump();
  }

  void OnBookName(const BookNameItem& n) override {
    Json j;
    Json damage = Json::array();
    PutString(j, "name", n.name, damage);
    j["lastBook"] = n.record.lastBook;
    PutDamage(j, damage);
    Element(j);
  }

  void OnBook(const BookItem& b) override {
    const BookRecord& r = b.record;
    Json j;
    Json damage = Json::array();
    PutString(j, "title", b.title, damage);
    PutString(j, "note", b.note, damage);
    PutString(j, "abbrev", b.abbrev, damage);
    j["prevSameName"] = r.prevSameName;
    j["nextSameName"] = r.nextSameName;
    j["prevName"] = r.prevName;
    j["nextName"] = r.nextName;
    j["firstText"] = r.firstText;
    j["nameIndex"] = r.nameIndex;
    j["bookFlags"] = r.bookFlags;
    PutDamage(j, damage);
    Element(j);
  }

  void OnVerse(const VerseItem& v) override {
    Json j;
    Json damage = Json::array();
    j["book"] = v.record.book;
    PutString(j, "label", v.label, damage);
    PutString(j, "text", v.text, damage);
    j["textIndex"] = v.record.text;
    j["next"] = v.record.next;
    j["labelIndex"] = v.record.label;
    PutDamage(j, damage);
    Element(j);
  }

  void OnWord(const WordItem& w) override {
    const DictEntry& e = *w.record;
    Json j;
    Json damage = Json::array();
    PutString(j, "text", w.text, damage);
    j["prev"] = e.prev;
    j["next"] = e.next;
    j["firstRef"] = e.firstRef;
    j["letterBook"] = e.letterBook;
    j["occurrences"] = w.occurrences;
    if (!w.damage.empty()) damage.push_back(w.damage);
    PutDamage(j, damage);
    Element(j);
  }

  void OnOccurrence(const OccurrenceItem& o) override {
    Json j;
    j["next"] = o.record.next;
    j["verse"] = o.record.verse;
    j["offset"] = WordOffset(o.record.position);
    j["ordinal"] = WordOrdinal(o.record.position);
    Element(j);
  }

  void OnConcordance(const ConcordanceItem& c) override {
    Json j;
    Json letters = Json::array();
    if (c.titleBook == kNone) {
      j["titleBook"] = nullptr;
    } else {
      Json damage = Json::array();
      j["titleBook"] = c.titleBook;
      PutString(j, "title", c.title, damage);
      for (const ConcordanceItem::Letter& l : c.letters) {
        Json letter;
        letter["book"] = l.book;
        PutString(letter, "title", l.title, damage);
        letter["words"] = l.words;
        letters.push_back(std::move(letter));
      }
      PutDamage(j, damage);
    }
    j["letterBooks"] = std::move(letters);
    out_ << ",\n  \"concordance\": " << j.dump();
  }

  void OnLinks(const LinkHolderItem& h) override {
    Json j;
    j["holder"] = h.holder == LinkHolderItem::Holder::kBookNote ? "bookNote" : "verse";
    j["index"] = h.index;
    if (!h.damage.empty()) {
      j["damage"] = h.damage;
    } else {
      Json links = Json::array();
      for (const LinkItem& link : h.links) links.push_back(LinkJson(link));
      j["links"] = std::move(links);
    }
    Element(j);
  }

  void OnImage(const ImageItem& i) override {
    Json j;
    j["position"] = i.position;
    if (!i.damage.empty()) {
      j["damage"] = i.damage;
    } else {
      char crc[9];
      std::snprintf(crc, sizeof crc, "%08x", i.crc32);
      j["length"] = i.length;
      j["type"] = i.type;
      j["crc32"] = crc;
    }
    Element(j);
  }

  void Finish() { out_ << "\n}\n"; }

 private:
  void Element(const Json& j) {
    out_ << (first_ ? "\n    " : ",\n    ") << j.dump();
    first_ = false;
  }

  std::ostream& out_;
  bool first_ = true;
};

}  // namespace

void PrintModuleJson(const ModuleView& m, std::ostream& out) {
  JsonSink sink(out);
  WalkModule(m, sink);
  sink.Finish();
}

}  // namespace quillavor
