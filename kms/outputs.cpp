// The output table.
#include <cstdio>

#include "kms/kms.h"

KmsOutput outs[kMaxOutputs];
int nout;
int drm_fd = -1;

bool any_output_interlaced() {
    for (int i = 0; i < nout; i++)
        if (outs[i].mode.flags & kModeInterlace) return true;
    return false;
}
