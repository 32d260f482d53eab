// The whole receiver: start-up, then the presentation loop until the input ends or a
// stop signal comes.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>

#include "app/avlog.h"
#include "app/clock.h"
#include "app/config.h"
#include "app/end.h"
#include "app/health.h"
#include "app/loop.h"
#include "app/mailbox.h"
#include "app/screens.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/stop.h"
#include "app/usage.h"
#include "base/log.h"
#include "base/own.h"
#include "decode/decode.h"
#include "kms/kms.h"
#include "overlay/overlay.h"
#include "standby/standby.h"
#include "spitee/spitee.h"

// A monitor or card may come up after the receiver does, so it waits rather than
// exits, backing off to keep a display-less board quiet.
namespace {

// False when a stop request ended the wait. The back-off sleep is cut short by it.
bool wait_for_display(const DisplaySettings &settings) {
    if (drm_init(settings, standby_painter()) == 0) return true;
    fprintf(stderr, "zyl-mpp: no display yet — waiting (retry backs off to 5s)\n");
    for (int attempt = 0;; attempt++) {
        pollfd p{stop_fd(), POLLIN, 0};
        poll(&p, 1, display_retry_delay_ms(attempt));
        if (stop_status()) return false;
        if (drm_init(settings, standby_painter()) == 0) break;
    }
    fprintf(stderr, "zyl-mpp: display appeared\n");
    return true;
}

// The reader thread: stdin into the decoder, its frames into the mailbox. Its end
// is the mailbox's end, with the exit status a dead decoder asks for.
std::optional<Thread> start_reader(ReaderArgs &ra, const DecodeSettings &settings,
                                   const ReaderHooks &hooks, Mailbox &mb) {
    try {
        return Thread([&ra, &settings, &hooks, &mb] {
            ReaderEnd end = reader_run(&ra, settings, hooks, STDIN_FILENO, stop_fd());
            mb_set_eof(mb, end == ReaderEnd::kDead ? 3 : 0);
        });
    } catch (const std::system_error &e) {
        say("zyl-mpp: reader thread could not start (%s)", strerror(e.code().value()));
        return std::nullopt;
    }
}

}  // namespace

int receiver_main(int argc, char **argv) {
    Mailbox mailbox;
    return receiver_run(argc, argv, mailbox);
}

int receiver_run(int argc, char **argv, Mailbox &mailbox) {
    const Config config = config_read();
    standby_configure(config.standby);
    overlays_configure(config.overlays);
    avlog_init(config.av_log_verbose);
    spi_tee_configure(config.spi);
    pacing_configure(config.pacing);
    health_configure(config.health, mailbox);
    if (argc > 1) {
        int status = answer_command_line(argv[1]);
        if (status >= 0) return process_end({status, {}, nullptr});
    }

    stop_signals_install(mailbox);
    if (!wait_for_display(config.display)) return process_end(stopped_end());
    read_settings(config, any_output_interlaced());
    Gate gate;
    DetectQueue detect_queue;
    ReaderArgs ra{};
    if (int status = prepare_decoder(&ra, config.decode)) return process_end({status, {}, nullptr});
    ra.detect = &detect_queue;
    gate_configure(gate, config.gate, g_is_hevc);
    const ReaderHooks hooks = mailbox_reader_hooks(mailbox, gate);
    load_font(config.overlays.font);

    poll_menu();
    poll_osd();
    render_menu_all(overlay_facts());
    std::optional<Thread> reader = start_reader(ra, config.decode, hooks, mailbox);
    if (!reader) return process_end({1, {}, nullptr});
    last_frame_time = mono_us();
    hdmi_state_write("hidden");
    Loop loop{mailbox, gate, config.detect};
    return process_end(presentation_loop(loop), &*reader);
}
