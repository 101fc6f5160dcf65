// Free values of the cache's fields of a host entry.
#include "cache/cache_entry.h"

#include <cstring>

#include "executive/types.h"

namespace fw {

void ResetCacheEntryFields(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS* ps = psCacheFields(psEntry);
    std::memset(ps, 0, sizeof(*ps));
    ps->psStreamHead = nullptr;
    ps->wCollapseLink = NO_ENTRY_LINK;
    ps->wBlockingLink = NO_ENTRY_LINK;
    ps->wServingWrite = NO_ENTRY_LINK;
    ps->bReadAheadSlot = NO_READ_AHEAD_SLOT;
    ps->fMirrorDecision = FALSE;
}

}  // namespace fw
