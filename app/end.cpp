#include "app/end.h"

#include <unistd.h>

#include <cstdio>

#include "base/log.h"

void process_end(int status, const char *reason) {
    if (reason) say("%s", reason);
    fflush(stderr);
    _exit(status);
}
