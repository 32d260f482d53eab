// The whole receiver: start-up, then the presentation loop until the input ends or a
// stop signal comes.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/avlog.h"
#include "app/clock.h"
#include "app/config.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/stop.h"
#include "app/usage.h"
#include "decode/decode.h"
#include "kms/kms.h"
#include "overlay/overlay.h"
#include "spitee/spitee.h"

// A monitor or card may come up after the receiver does, so it waits rather than
// exits, backing off to keep a display-less board quiet.
namespace {

// False when a stop request ended the wait. The back-off sleep is cut short by it.
bool wait_for_display() {
    if (drm_init() == 0) return true;
    fprintf(stderr, "zyl-mpp: no display yet — waiting (retry backs off to 5s)\n");
    for (int attempt = 0;; attempt++) {
        pollfd p{stop_fd(), POLLIN, 0};
        poll(&p, 1, display_retry_delay_ms(attempt));
        if (stop_status()) return false;
        if (drm_init() == 0) break;
    }
    fprintf(stderr, "zyl-mpp: display appeared\n");
    return true;
}

}  // namespace

int receiver_main(int argc, char **argv) {
    const Config config = config_read();
    spi_tee_configure(config.spi);
    avlog_init(getenv("ZYL_KMS_AV_LOG"));
    if (argc > 1) {
        int status = answer_command_line(argv[1]);
        if (status >= 0) return status;
    }

    stop_signals_install();
    if (!wait_for_display()) return stopped_status();
    read_settings(config, any_output_interlaced());
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
