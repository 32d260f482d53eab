// The whole receiver: start-up, then the presentation loop until the input ends.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/avlog.h"
#include "app/clock.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/usage.h"
#include "decode/decode.h"
#include "kms/kms.h"
#include "overlay/overlay.h"

// A monitor or card may come up after the receiver does, so it waits rather than
// exits, backing off to keep a display-less board quiet.
namespace {

void wait_for_display() {
    if (drm_init() == 0) return;
    fprintf(stderr, "zyl-mpp: no display yet — waiting (retry backs off to 5s)\n");
    for (int attempt = 0;; attempt++) {
        usleep(useconds_t(display_retry_delay_ms(attempt)) * 1000);
        if (drm_init() == 0) break;
    }
    fprintf(stderr, "zyl-mpp: display appeared\n");
}

}  // namespace

int receiver_main(int argc, char **argv) {
    avlog_init(getenv("ZYL_KMS_AV_LOG"));
    if (argc > 1) {
        int status = answer_command_line(argv[1]);
        if (status >= 0) return status;
    }

    wait_for_display();
    read_settings(any_output_interlaced());
    static ReaderArgs ra;
    if (int status = prepare_decoder(&ra)) return status;
    load_font();

    poll_menu();
    poll_osd();
    render_menu_all();
    pthread_t reader;
    if (int err = pthread_create(&reader, nullptr, reader_thread, &ra)) {
        fprintf(stderr, "zyl-mpp: reader thread could not start (%s)\n", strerror(err));
        return 1;
    }
    last_frame_time = mono_us();
    hdmi_state_write("hidden");
    return presentation_loop(reader);
}
