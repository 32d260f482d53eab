// zyl-mpp: shows a live H.264/H.265 stream from stdin on every attached display.
#include "app/startup.h"

int main(int argc, char **argv) {
    return receiver_main(argc, argv);
}
