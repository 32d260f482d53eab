#include "base/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace {

void vsay(const char *fmt, va_list ap) {
    char line[1024];
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    if (n < 0) return;
    if (n > int(sizeof line) - 2) n = int(sizeof line) - 2;
    line[n] = '\n';
    ssize_t w = write(STDERR_FILENO, line, size_t(n) + 1);
    (void)w;
}

}  // namespace

void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay(fmt, ap);
    va_end(ap);
}

void say_once(std::atomic<bool> &said, const char *fmt, ...) {
    if (said.exchange(true)) return;
    va_list ap;
    va_start(ap, fmt);
    vsay(fmt, ap);
    va_end(ap);
}
