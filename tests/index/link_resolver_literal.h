// The literal link resolution (link_resolver_literal.cc), the reference the
// library's resolver is compared with.
#pragma once

#include <cstdint>
#include <vector>

#include "markup/line_stages.h"

namespace quillavor {
class Module;
}

namespace quillavor::literal {

bool LinkStep(Module& module, int32_t tagPos, int32_t contextVerse);
void ResolveLinkage(Module& module, PendingLinks& pendingLinks,
                    std::vector<int32_t>& changedAfterIndexing);

}  // namespace quillavor::literal
