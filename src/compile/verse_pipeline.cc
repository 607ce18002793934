#include "compile/verse_pipeline.h"

#include "model/module.h"

namespace quillavor {

namespace {

// Verses handed over and not yet recorded, at most. A chapter or two: the
// compiling thread records at every book header anyway.
constexpr int64_t kSlots = 256;

// A slot's state: the compiling thread fills an empty slot and queues it;
// whichever thread takes it first analyses it; the compiling thread records
// a done slot and empties it. The compiling thread never waits for the
// helper: a verse the helper still has in hand when it is to be recorded is
// abandoned to it and analysed again, and the helper empties the slot when
// it is through with it.
enum : uint32_t { kEmpty, kQueued, kTaken, kDone, kAbandoned };

// Added to VersePipeline::published_ by Stop.
constexpr uint32_t kStopped = 0x80000000u;

// Polls of an idle helper before it sleeps: a verse is handed over every few
// microseconds while the lines compile, and waking a sleeping thread costs
// the compiling thread a system call.
constexpr int kSpins = 32768;

// Polls of the compiling thread for a verse the helper is analysing, before
// it analyses the verse itself: a few times the time a verse takes.
constexpr int kTakenSpins = 256;

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

struct VersePipeline::Slot {
  std::atomic<uint32_t> state{kEmpty};
  int32_t verse = 0;            // the verse the occurrences name
  // A copy of the verse text: recording a verse may move the pool while
  // later verses still wait to be analysed.
  std::u16string text;
  VerseWords words;
};

VersePipeline::VersePipeline(Module& module, DictionaryAccel& wordAccel)
    : module_(module), wordAccel_(wordAccel), slots_(std::make_unique<Slot[]>(kSlots)) {
  module_.beforeAddString = [this] { Flush(); };
}

VersePipeline::~VersePipeline() { module_.beforeAddString = nullptr; }

VersePipeline::Slot& VersePipeline::At(int64_t sequence) {
  return slots_[static_cast<size_t>(sequence % kSlots)];
}

void VersePipeline::Add(int32_t verse) {
  // What is ready at the front is recorded now, so that few verses wait.
  while (recorded_ < added_ && At(recorded_).state.load(std::memory_order_acquire) == kDone) {
    RecordOldest();
  }
  if (added_ - recorded_ == kSlots) RecordOldest();
  Slot& slot = At(added_);
  // A slot abandoned to the helper a whole ring ago is almost always empty again.
  for (uint32_t state = slot.state.load(std::memory_order_acquire); state != kEmpty;
       state = slot.state.load(std::memory_order_acquire)) {
    slot.state.wait(state, std::memory_order_acquire);
  }
  slot.verse = module_.verseCount - 1;
  slot.text.assign(module_.StringView(module_.verses[verse].text));
  slot.state.store(kQueued, std::memory_order_release);
  ++added_;
  published_.fetch_add(1);
  // One wake-up per sleep of the helper: each is a system call, and a busy
  // machine may let the helper sleep on for a while after it.
  if (helperSleeps_.load(std::memory_order_relaxed) && helperSleeps_.exchange(false)) {
    published_.notify_one();
  }
}

void VersePipeline::RecordOldest() {
  failed_ = true;  // until the verse is recorded
  Slot& slot = At(recorded_);
  const VerseWords* words = &slot.words;
  // A verse in the helper's hands is usually done within microseconds.
  for (int spins = 0; spins < kTakenSpins && slot.state.load(std::memory_order_relaxed) == kTaken;
       ++spins) {
    Pause();
  }
  for (uint32_t state = slot.state.load(std::memory_order_acquire); state != kDone;) {
    // A failed exchange reloads `state`.
    if (state == kQueued &&
        slot.state.compare_exchange_strong(state, kTaken, std::memory_order_acquire)) {
      AnalyseVerse(slot.text, slot.words);
      break;
    }
    if (state == kTaken &&
        slot.state.compare_exchange_strong(state, kAbandoned, std::memory_order_acquire)) {
      // The helper may be descheduled in the middle of it (a busy machine).
      AnalyseVerse(slot.text, own_);
      words = &own_;
      break;
    }
  }
  // Counted first: a failure below ends the run, and the verse is not
  // recorded a second time.
  ++recorded_;
  RecordVerseWords(module_, wordAccel_, slot.verse, *words);
  if (words == &slot.words) slot.state.store(kEmpty, std::memory_order_relaxed);
  failed_ = false;
}

void VersePipeline::Flush() {
  // Recording adds words to the pool, which calls back here; after a failed
  // recording the run is over.
  if (flushing_ || failed_) return;
  flushing_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{flushing_};
  while (recorded_ < added_) RecordOldest();
}

void VersePipeline::Stop() {
  published_.fetch_or(kStopped);
  published_.notify_all();
}

void VersePipeline::Help() {
  int64_t next = 0;  // the next verse to look at, in hand-over order
  while (true) {
    const uint32_t seen = published_.load(std::memory_order_acquire);
    if ((seen & kStopped) != 0) return;
    const int64_t handed = seen;
    if (next >= handed) {
      int spins = 0;
      while (spins < kSpins && published_.load(std::memory_order_relaxed) == seen) {
        Pause();
        ++spins;
      }
      if (spins == kSpins) {
        // Announced before the last look at the count: a verse handed over
        // after it sees the announcement and wakes the helper.
        helperSleeps_.store(true);
        published_.wait(seen);
        helperSleeps_.store(false, std::memory_order_relaxed);
      }
      continue;
    }
    // Slots older than the ring were recorded by the compiling thread.
    if (handed - next > kSlots) next = handed - kSlots;
    Slot& slot = At(next++);
    uint32_t queued = kQueued;
    if (!slot.state.compare_exchange_strong(queued, kTaken, std::memory_order_acquire)) continue;
    bool analysed = true;
    try {
      AnalyseVerse(slot.text, slot.words);
    } catch (...) {
      analysed = false;  // left to the compiling thread, which meets the failure itself
    }
    uint32_t taken = kTaken;
    if (!slot.state.compare_exchange_strong(taken, analysed ? kDone : kQueued,
                                            std::memory_order_release)) {
      // Abandoned meanwhile: the compiling thread waits for the slot only to
      // fill it again.
      slot.state.store(kEmpty, std::memory_order_release);
      slot.state.notify_all();
    }
    if (!analysed) return;
  }
}

}  // namespace quillavor
