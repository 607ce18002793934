// The word analysis of verses on a second thread while the line compiler
// goes on. Indexing a verse is two parts: the analysis (the text prepared,
// cut into words, each word's offset found), which needs the verse's text
// alone, and the recording (the dictionary, the occurrence lists, new words
// added to the pool), which changes the Module. The compiling thread hands
// each verse over as it completes it (Add); a helper thread analyses the
// verses handed over (Help), and the compiling thread records them in verse
// order as they are ready, and all of them before anything else is added to
// the pool (Module::beforeAddString) and at the end (Flush). The pool's
// strings, the dictionary and the occurrences are therefore exactly those of
// a run on one thread.
//
// The helper never reads the pool: each verse's text is copied when it is
// handed over, complete by then (the line compiler writes only into the line
// it compiles), so the text analysed is the one a run on one thread indexes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "index/word_index.h"

namespace quillavor {

class Module;
struct DictionaryAccel;

class VersePipeline {
 public:
  // Sets the module's beforeAddString for the pipeline's lifetime.
  VersePipeline(Module& module, DictionaryAccel& wordAccel);
  ~VersePipeline();
  VersePipeline(const VersePipeline&) = delete;  // its helper refers to it
  VersePipeline& operator=(const VersePipeline&) = delete;

  // Compiling thread: the latest verse of the module is complete and its
  // words are to be indexed (IndexVerse with indexing on).
  void Add(int32_t verse);
  // Compiling thread: records every verse handed over, in order, analysing
  // those the helper has not taken itself.
  void Flush();
  // Ends Help once it has finished the verse in its hands; any thread.
  void Stop();

  // Helper thread: analyses verses handed over until Stop. Never throws: a
  // verse it cannot analyse is left to the compiling thread.
  void Help();

 private:
  struct Slot;

  Slot& At(int64_t sequence);
  // Records the oldest verse handed over and not yet recorded.
  void RecordOldest();

  Module& module_;
  DictionaryAccel& wordAccel_;
  std::unique_ptr<Slot[]> slots_;
  VerseWords own_;  // the compiling thread's analysis of a verse abandoned to the helper
  // Compiling thread only: verses handed over, and recorded, since the start.
  int64_t added_ = 0;
  int64_t recorded_ = 0;
  bool flushing_ = false;
  bool failed_ = false;  // a verse failed to be analysed or recorded
  // Verses handed over, for the helper to wait on; kStopped is added by Stop.
  std::atomic<uint32_t> published_{0};
  std::atomic<bool> helperSleeps_{false};  // set by the helper before it sleeps
};

}  // namespace quillavor
