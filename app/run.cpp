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
#include "app/pacing.h"
#include "app/screens.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/stop.h"
#include "app/usage.h"
#include "base/log.h"
#include "base/own.h"
#include "decode/decode.h"
#include "gpu/gpu.h"
#include "kms/kms.h"
#include "overlay/overlay.h"
#include "standby/standby.h"
#include "spitee/spitee.h"

// A monitor or card may come up after the receiver does, so it waits rather than
// exits, backing off to keep a display-less board quiet.
namespace {

// False when a stop request ended the wait. The back-off sleep is cut short by it.
bool wait_for_display(ScreenState &screens, const DisplaySettings &settings) {
    const PaintStandby paint = standby_painter(screens);
    if (drm_init(screens.display, settings, paint)) return true;
    say("zyl-mpp: no display yet — waiting (retry backs off to 5s)");
    for (int attempt = 0;; attempt++) {
        pollfd p{stop_fd(), POLLIN, 0};
        poll(&p, 1, display_retry_delay_ms(attempt));
        if (stop_status()) return false;
        if (drm_init(screens.display, settings, paint)) break;
    }
    say("zyl-mpp: display appeared");
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
    // Never destroyed, and reachable to the end: a reader the process could not stop
    // may still push into it while the process exits, and its queued frames are
    // freed by the process's end.
    static Mailbox *const mailbox = new Mailbox;
    return receiver_run(argc, argv, *mailbox);
}

int receiver_run(int argc, char **argv, Mailbox &mailbox) {
    const Config config = config_read();
    // Never destroyed (a static pointer, so it stays reachable): the card, its buffers
    // and the last picture stay on screen until the process has ended and the kernel
    // releases them, after everything the exit does.
    static ScreenState *const kept = new ScreenState;
    ScreenState &screens = *kept;
    screens.standby.settings = config.standby;
    overlays_configure(screens.overlays, config.overlays);
    connect_screen_enable(screens.drawing.connect, config.overlays.show_connect);
    avlog_init(config.av_log_verbose);
    Health health(config.health, mailbox);
    if (argc > 1) {
        int status = answer_command_line(argv[1]);
        if (status >= 0) return process_end({status, {}, nullptr}, health);
    }

    // The pass holds buffers on the card and the copy draws with the pass's context:
    // both go before the card's fd, the copy first.
    GpuPass pass;
    SpiTee tee(config.spi);
    attach_pass_and_tee(screens, pass, tee);
    stop_signals_install(mailbox);
    if (!wait_for_display(screens, config.display)) return process_end(stopped_end(), health);
    Pacer pacer(config.pacing);
    pacer.paced = &screens.display.outs[0];
    pacer.health = &health;
    pass.card = screens.display.card();
    read_settings(screens, pacer, config, any_output_interlaced(screens.display));
    Gate gate;
    DetectQueue detect_queue;
    // Static: the decoder and parser it holds live as long as the process.
    static ReaderArgs ra;
    if (int status = prepare_decoder(&ra, config.decode, mailbox.stream))
        return process_end({status, {}, nullptr}, health);
    ra.detect = &detect_queue;
    screens.stream = &mailbox.stream;
    gate_configure(gate, config.gate, mailbox.stream.hevc);
    const ReaderHooks hooks = mailbox_reader_hooks(mailbox, gate);
    load_font(screens.drawing.font, config.overlays.font);

    // Where frames go out as atomic commits, the overlay's updates go with them.
    for (KmsOutput &o : screens.display.outputs()) o.menu_rides = o.atomic;
    poll_menu(screens.overlays);
    poll_osd(screens.overlays);
    render_menu_all(screens.drawing, screens.overlays, overlay_facts(screens));
    std::optional<Thread> reader = start_reader(ra, config.decode, hooks, mailbox);
    if (!reader) return process_end({1, {}, nullptr}, health);
    gate.last_frame_us = mono_us();
    hdmi_state_write(health, "hidden");
    Loop loop{screens, mailbox, gate, pacer, health, config.detect};
    return process_end(presentation_loop(loop), health, &*reader);
}
