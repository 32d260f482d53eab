#include "base/log.h"
#include "app/usage.h"

#include <cstdio>
#include <cstring>

namespace {

void print_usage(FILE *f) {
    fprintf(f,
            "usage: zyl-mpp [--caps | --help | --version] < STREAM\n"
            "\n"
            "Shows the H.264 or H.265 Annex-B stream on standard input on every attached\n"
            "display through DRM/KMS. Settings come from the environment (below).\n"
            "\n"
            "  --caps      print \"caps gles=1 encode=0\" and exit\n"
            "  --help      print this text and exit\n"
            "  --version   print the version and exit\n"
            "\n"
            "Exit statuses:\n"
            "  0  the input ended, a monitor was changed or plugged back in, or an option\n"
            "     above was answered\n"
            "  1  the decoder cannot be found or opened at start-up\n"
            "  2  unknown option\n"
            "  3  the decoder is dead or cannot be rebuilt (start it again)\n"
            "  143, 130  stopped by SIGTERM or SIGINT (128 + the signal), after writing\n"
            "     state=stopped to the state file\n"
            "\n"
            "Settings, as in /etc/default/zyl-mpp:\n"
            "\n%s",
            kSettingsText);
}

}  // namespace

int answer_command_line(const char *arg) {
    if (strcmp(arg, "--caps") == 0) {
        printf("caps gles=%d encode=%d\n", 1, 0);
        return 0;
    }
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
        print_usage(stdout);
        return 0;
    }
    if (strcmp(arg, "--version") == 0) {
        printf("zyl-mpp %s\n", ZYL_VERSION);
        return 0;
    }
    if (arg[0] == '-') {
        say("zyl-mpp: unknown option %s", arg);
        print_usage(stderr);
        return 2;
    }
    return -1;
}
