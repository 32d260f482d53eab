// Placeholder until the standby painter lands: only records what it was asked for.
#include "standby/standby.h"

#include "kms/kms.h"

void repaint_standby(KmsOutput &o) {
    standby_tag_text(o, o.standby_tag);
}
