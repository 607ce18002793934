#include "model/dictionary.h"

#include "model/module.h"

namespace quillavor {

// Placeholder until the dictionaries are built.
int32_t FindOrAddWord(Module&, std::u16string_view) { return 0; }
int32_t FindOrAddLabel(Module&, std::u16string_view) { return 0; }

}  // namespace quillavor
