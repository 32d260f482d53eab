// The output table.
#include <cstdio>

#include "kms/kms.h"

bool any_output_interlaced(const Display &d) {
    for (const KmsOutput &o : d.outputs())
        if (o.mode.flags & kModeInterlace) return true;
    return false;
}
