#include "index/word_index.h"

#include "model/module.h"

namespace quillavor {

// Placeholders until the word index is built.
void IndexVerse(Module&, int32_t, bool) {}

void FinalizeWordIndex(Module&, std::u16string_view, Progress& progress) {
  progress.Phase(u"Finalize WORD indexes");
}

}  // namespace quillavor
