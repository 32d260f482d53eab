// The presentation loop: the main thread's life after start-up. Each pass takes at
// most one decoded frame and puts it on the video plane of every output; the
// picture on screen and the one it replaced stay alive until a newer one is shown.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext_drm.h>
#include <libavutil/pixdesc.h>
}

#include "app/clock.h"
#include "app/compose.h"
#include "app/config.h"
#include "app/end.h"
#include "app/gate.h"
#include "app/health.h"
#include "app/hotplug.h"
#include "app/loop.h"
#include "app/mailbox.h"
#include "app/placement.h"
#include "app/settings.h"
#include "app/stop.h"
#include "app/pacing.h"
#include "app/screens.h"
#include "app/shown.h"
#include "base/log.h"
#include "decode/decode.h"
#include "gpu/gpu.h"
#include "kms/files.h"
#include "kms/kms.h"
#include "kms/present.h"
#include "overlay/overlay.h"
#include "spitee/spitee.h"

namespace {

void detect_off(StreamFacts &facts, DetectionTable &t) {
    facts.detect = false;
    detections_clear(t);
}

// Starting a detector always fails: this system has none.
void detect_on(StreamFacts &facts, const DetectSettings &s) {
    facts.detect = true;
    say("zyl-mpp: yolo_init failed (%s)", s.model.c_str());
    facts.detect = false;
}

// Whether a snapshot of the current frame was asked for. Only a regular file is a
// request. Anything else (a directory, a FIFO) might not be removable and would then
// ask for a picture on every frame.
bool take_snapshot_request(FileVersion &refused) {
    const char *path = "/run/zyl-fpv/snapshot";
    struct stat st;
    if (lstat(path, &st) != 0) {
        refused = {};
        return false;
    }
    if (S_ISREG(st.st_mode)) return unlink(path) == 0;
    if (version_of(st) == refused) return false;
    refused = version_of(st);
    say("zyl-mpp: snapshot trigger %s: not a regular file — ignored", path);
    return false;
}

// Some output's video is mirrored.
bool any_output_flips(const ScreenState &screens) {
    const Display &d = screens.display;
    bool flips = d.nout == 0 && parse_flip(screens.live.tuning.look.flip) != Flip::kNone;
    for (const KmsOutput &o : d.outputs()) flips |= o.look.flip != Flip::kNone;
    return flips;
}

// A correction only the pass makes: software frames go without it (a plane's
// rotation still mirrors them).
bool correction_wanted(const ScreenState &screens) {
    const Tuning &t = screens.live.tuning;
    return t.lens.on || t.antiflicker || t.grade.on;
}

bool gpu_pass_wanted(const ScreenState &screens) {
    return correction_wanted(screens) || any_output_flips(screens) || spi_tee_wanted(*screens.tee);
}

int present_placed(Loop &loop, int i, uint32_t fb, const Placement &p) {
    KmsOutput &o = loop.screens.display.outs[i];
    const bool atomic = o.atomic && !(loop.pacer.legacy_outputs >> i & 1);
    return atomic ? output_commit(loop.pacer, o, i, fb, p) : video_plane_set(o, fb, p);
}

// A plane that cannot scale the picture that much (ERANGE, as the kernel's plane
// check says) shows it rather than nothing: enlarged as much as it takes, centred;
// or, where the pass cannot draw it at the output's size, the middle of it reduced
// as much as the plane takes. The largest of 8, 4, 2 and 1 times that works is kept
// for the output.
int present_within_scale(Loop &loop, int i, uint32_t fb, const Placement &p, bool reduce) {
    const KmsOutput &o = loop.screens.display.outs[i];
    for (int k : {8, 4, 2, 1}) {
        const Placement q = reduce ? crop_to_reduction(p, k) : clamp_to_scale(p, k);
        if (q.src == p.src && q.dst == p.dst) continue;
        if (present_placed(loop, i, fb, q) != 0) continue;
        (reduce ? loop.max_down : loop.max_up)[size_t(i)] = k;
        if (reduce)
            say("zyl-mpp: output %d plane %u cannot reduce %dx%d to %dx%d — shows its middle "
                "%dx%d",
                i, o.plane_id, p.src.w, p.src.h, p.dst.w, p.dst.h, q.src.w, q.src.h);
        else
            say("zyl-mpp: output %d plane %u cannot scale %dx%d to %dx%d — shown at %dx%d", i,
                o.plane_id, p.src.w, p.src.h, p.dst.w, p.dst.h, q.dst.w, q.dst.h);
        return 0;
    }
    errno = ERANGE;
    return -1;
}

// The plane refused the frame as placed. Too large an enlargement is shrunk; any
// other refusal of the geometry (too large a reduction: ERANGE; a source larger than
// the plane reads, a mirror it cannot make: EINVAL) has the pass draw the output's
// picture at its mode size from the next frame on, which any plane shows unscaled (1:
// this frame is left out). Without the pass, too large a reduction is cropped.
int present_refused(Loop &loop, int i, uint32_t fb, const Placement &p) {
    const int err = errno;
    const uint32_t bit = 1u << i;
    if (err == ERANGE && (p.dst.w > p.src.w || p.dst.h > p.src.h))
        return loop.max_up[size_t(i)] ? -1 : present_within_scale(loop, i, fb, p, false);
    if ((err == ERANGE || err == EINVAL) && !(loop.fit_by_pass & bit) &&
        loop.screens.pass->ready != -1) {
        const KmsOutput &o = loop.screens.display.outs[i];
        loop.fit_by_pass |= bit;
        say("zyl-mpp: output %d plane %u refuses %dx%d at %dx%d (%s) — the GPU pass draws its "
            "picture at %dx%d",
            i, o.plane_id, p.src.w, p.src.h, p.dst.w, p.dst.h, strerror(err), o.mode.hdisplay,
            o.mode.vdisplay);
        return 1;
    }
    if (err == ERANGE && !loop.max_down[size_t(i)])
        return present_within_scale(loop, i, fb, p, true);
    errno = err;
    return -1;
}

// An output whose presents fail shows the standby picture instead of its last frame,
// and every frame tries again; it says once when the video is back.
void follow_failures(Loop &loop, int i, bool failed) {
    const uint32_t bit = 1u << i;
    if (failed == bool(loop.video_failing & bit)) return;
    loop.video_failing ^= bit;
    const KmsOutput &o = loop.screens.display.outs[i];
    if (failed) {
        video_plane_standby(o, o.atomic);
        return;
    }
    loop.setplane_warned &= ~bit;
    say("zyl-mpp: output %d shows video again", i);
}

// Presents `fb` on output `i`; true when the output took it. A failure is reported
// once per output.
bool present_on(Loop &loop, int i, uint32_t fb, Placement p) {
    const KmsOutput &o = loop.screens.display.outs[i];
    const bool atomic = o.atomic && !(loop.pacer.legacy_outputs >> i & 1);
    if (loop.max_up[size_t(i)]) p = clamp_to_scale(p, loop.max_up[size_t(i)]);
    if (loop.max_down[size_t(i)]) p = crop_to_reduction(p, loop.max_down[size_t(i)]);
    int64_t t0 = mono_us();
    int r = present_placed(loop, i, fb, p);
    if (r != 0) r = present_refused(loop, i, fb, p);
    if (r > 0) return false;
    const int err = errno;
    follow_failures(loop, i, r != 0);
    int64_t t1 = mono_us();
    stage_sample(&loop.health, atomic ? kStagePanelCommit : kStageHdmiSetplane, t0, t1);
    if (r != 0 && !(loop.setplane_warned >> i & 1)) {
        loop.setplane_warned |= 1u << i;
        say("zyl-mpp: output %d (crtc %u plane %u) SetPlane FAILED: %s — src %dx%d → dst %dx%d "
            "at %d,%d",
            i, o.crtc_id, o.plane_id, strerror(err), p.src.w, p.src.h, p.dst.w, p.dst.h, p.dst.x,
            p.dst.y);
    }
    if (!atomic && r == 0) vblank_learn(loop.pacer, t1 - t0, i);
    if (atomic && r == 0) loop.video_at[size_t(i)] = t1;
    return r == 0;
}

// Overlay updates no frame's commit took: on an output whose video flows they wait
// for its next frame a few refreshes at most; otherwise (standby, no stream, legacy
// outputs) they go out now.
void overlays_out(Loop &loop) {
    Display &d = loop.screens.display;
    const int64_t now = mono_us();
    for (int i = 0; i < d.nout; i++) {
        KmsOutput &o = d.outs[i];
        int64_t &since = loop.menu_since[size_t(i)];
        if (o.menu_update == MenuUpdate::kNone) {
            since = 0;
            continue;
        }
        if (!o.menu_rides) {
            menu_set_legacy(o);
            continue;
        }
        if (!since) since = now;
        const int64_t video = loop.video_at[size_t(i)],
                      period = 1000000 / int64_t(o.mode.vrefresh ? o.mode.vrefresh : 60);
        if (menu_waits_for_video(now - since, video ? now - video : INT64_MAX, period)) continue;
        overlay_commit(loop.pacer, o);
        since = 0;
    }
}

// Rotates every mirrored output's video plane once, from its flip; the GPU pass flips
// itself.
void rotate_planes(Loop &loop) {
    const Display &d = loop.screens.display;
    for (int i = 0; i < d.nout; i++) {
        const KmsOutput &o = d.outs[i];
        const Flip flip = o.look.flip;
        if (flip == Flip::kNone) continue;
        if (!o.rot_prop) {
            say("zyl-kms: flip: plane %u has no rotation property", o.plane_id);
            continue;
        }
        uint64_t value = plane_rotation_value(flip, o.rot_mask);
        if (!value) {
            say("zyl-kms: flip %s unsupported on plane %u (rot caps 0x%llx)", flip_word(flip),
                o.plane_id, (unsigned long long)o.rot_mask);
            continue;
        }
        if (video_plane_rotate(o, value) == 0) {
            loop.plane_rot[i] = value;
            loop.plane_rot_on |= 1u << i;
            say("zyl-kms: flip %s applied on plane %u (rot 0x%llx)", flip_word(flip), o.plane_id,
                (unsigned long long)value);
        } else {
            say("zyl-kms: flip %s NOT applied on plane %u: %s (HW can't rotate this pixel "
                "format — e.g. RK3399 linear NV12; needs RGA)",
                flip_word(flip), o.plane_id, strerror(errno));
        }
    }
}

// A corrected picture is mirrored by the shader: a plane that took the flip for a
// frame that missed the pass drops it for the next corrected one, which it would
// otherwise mirror back, and takes it again for the next uncorrected one.
void follow_flip(Loop &loop, bool gpu_output) {
    const Display &d = loop.screens.display;
    if (!gpu_output && !loop.rot_done && any_output_flips(loop.screens)) {
        loop.rot_done = true;
        rotate_planes(loop);
        return;
    }
    for (int i = 0; i < d.nout; i++) {
        bool on = loop.plane_rot_on >> i & 1;
        if (!loop.plane_rot[i] || on == !gpu_output) continue;
        const KmsOutput &o = d.outs[i];
        uint64_t value = gpu_output ? DRM_MODE_ROTATE_0 : loop.plane_rot[i];
        if (video_plane_rotate(o, value) == 0)
            loop.plane_rot_on ^= 1u << i;
        else if (!gpu_output)
            loop.plane_rot[i] = 0;  // taken once, refused now: the plane stays as it is
    }
}

// Letterbox bars and the area under the video must be black, not the standby picture.
void clear_standby_buffers(const Display &d) {
    for (const KmsOutput &o : d.outputs()) {
        if (!o.standby.map) continue;
        for (int y = 0; y < o.mode.vdisplay; y++)
            memset(o.standby.px() + size_t(y) * o.standby.pitch, 0, size_t(o.mode.hdisplay) * 4);
    }
}

// The framebuffers a frame is shown through: one for each distinct picture, and which
// one each output shows. Outputs that mirror alike share one.
// Outputs whose overlay the pass draws over their video show a picture of their own.
struct FramePictures {
    std::array<FbId, kGlMaxPictures + kMaxOutputs> fbs;
    std::array<int, kMaxOutputs> of_output{};
    std::array<unsigned, kMaxOutputs> tex{};  // the texture of each output's picture
    std::span<FbId> composed() { return std::span(fbs).subspan(kGlMaxPictures); }
    uint32_t of(int out) const {
        const FbId &own = fbs[size_t(kGlMaxPictures + out)];
        return own ? own.get() : fbs[size_t(of_output[size_t(out)])].get();
    }
};

// The frame drawn by the GPU pass once for each distinct flip of the outputs, into
// `pics`; then the frame's copies (the snapshot when `snap`, the SPI display) from the
// same draw. False when it must be shown uncorrected.
bool corrected_pictures(ScreenState &screens, const AVDRMFrameDescriptor &desc,
                        const AVFrame &frame, bool snap, FramePictures &pics) {
    const Display &d = screens.display;
    const LiveSettings &live = screens.live;
    const Flip global = parse_flip(live.tuning.look.flip);
    Flip flips[kMaxOutputs] = {global};
    for (int i = 0; i < d.nout; i++) flips[i] = d.outs[i].look.flip;
    const size_t n = size_t(std::max(d.nout, 1));
    GpuPass &pass = *screens.pass;
    PassFrame f =
        gl_dewarp_fbs(pass, live.gpu, live.tuning, &desc, frame.width, frame.height, {flips, n});
    if (snap && f.target) gl_snapshot(pass, f);
    // The SPI display has no flip of its own: it follows the global one.
    if (f.pictures) spi_tee_video_frame(*screens.tee, pass, live.tuning, global, mono_us());
    if (!f.pictures) return false;
    std::move(std::begin(f.fbs), std::end(f.fbs), pics.fbs.begin());
    for (size_t i = 0; i < std::min(n, pics.of_output.size()); i++) {
        pics.of_output[i] = f.of_output[i];
        pics.tex[i] = f.tex[f.of_output[i]];
    }
    return true;
}

ScanFormat frame_format(const AVDRMFrameDescriptor &desc) {
    return {desc.layers[0].format, desc.objects[0].format_modifier};
}

void say_unshowable_once(Loop &loop, ScanFormat f) {
    const uint32_t v = f.fourcc;
    say_once(loop.said.no_route,
             "zyl-mpp: frames in %c%c%c%c mod 0x%llx fit no video plane and the GPU pass cannot "
             "draw them — dropped",
             char(v), char(v >> 8), char(v >> 16), char(v >> 24), (unsigned long long)f.modifier);
}

// The input's end, once every queued frame was shown: how much of it was.
End input_end(Mailbox &mb) {
    const int status = mailbox_end_status(mb);
    if (status != 0) return End{status, {}, nullptr};
    char line[120];
    snprintf(line, sizeof line, "zyl-mpp: input ended — %llu pictures decoded, %llu shown",
             (unsigned long long)mb.dec_count.load(), (unsigned long long)mb.shown_count.load());
    return End{0, line, nullptr};
}

// A frame that does not reach the screen is freed on return. A software frame is
// copied into a scan-out buffer and freed once copied.
void present_frame(Loop &loop, FramePtr frame) {
    ScreenState &screens = loop.screens;
    Display &d = screens.display;
    int64_t t0 = mono_us();
    // Only a DRM PRIME frame's data[0] is a descriptor; a software frame's is pixels.
    const bool software = frame->format != AV_PIX_FMT_DRM_PRIME;
    if (software && !upload_takes(frame->format)) {
        const char *name = av_get_pix_fmt_name(AVPixelFormat(frame->format));
        say_once(loop.said.unshowable,
                 "zyl-mpp: decoded frames in %s can be neither scanned out nor copied — dropped",
                 name ? name : "an unknown format");
        after_present(loop.health, loop.pacer, t0);
        return;
    }
    if (software) say_software_frames();
    const auto *desc =
        software ? nullptr : reinterpret_cast<const AVDRMFrameDescriptor *>(frame->data[0]);
    if (!software && (!desc || desc->nb_layers < 1)) {
        after_present(loop.health, loop.pacer, t0);
        return;
    }
    if (screens.overlays.menu.message) {
        if (!loop.video_hidden) {
            // The standby buffer shows through, or goes back on a primary video plane.
            for (const KmsOutput &o : d.outputs()) video_plane_standby(o, o.atomic);
            loop.video_hidden = true;
        }
        after_present(loop.health, loop.pacer, t0);
        return;
    }
    loop.video_hidden = false;
    const bool snap = take_snapshot_request(loop.snapshot_refused);

    FramePictures pics;
    // Outputs without an overlay plane show their open overlays over the video through
    // the pass.
    // So do outputs whose plane cannot show the frame as placed.
    const uint32_t overlaid = software ? 0 : outputs_to_compose(d, *screens.pass);
    const uint32_t compose =
        overlaid | (software || screens.pass->ready == -1 ? 0 : loop.fit_by_pass);
    const bool pass_wanted = gpu_pass_wanted(screens) || compose;
    // The pass imports DMA-BUFs only; a copied frame is shown as it is.
    if (software && correction_wanted(screens))
        say_once(loop.said.software_pass,
                 "zyl-mpp: correction pass skipped — software frames are shown uncorrected");
    // Frames no plane takes in their layout are drawn by the pass, which imports it.
    const bool needs_pass = !software && video_planes_follow(d, frame_format(*desc));
    const bool gpu_output = !software && (pass_wanted || needs_pass) &&
                            corrected_pictures(screens, *desc, *frame, snap, pics);
    // A corrected picture has the render size; the plane scales it like a frame.
    const GpuPass &pass = *screens.pass;
    int sw = gpu_output ? pass.w : frame->width, sh = gpu_output ? pass.h : frame->height;
    UploadLease copy;
    if (software)
        copy = upload_frame(d.upload, d.card(), *frame);
    else if (!gpu_output && !needs_pass)
        pics.fbs[0] = import_frame(d, frame.get());
    else if (!gpu_output)
        say_unshowable_once(loop, frame_format(*desc));
    if (!copy && !pics.fbs[0]) {
        after_present(loop.health, loop.pacer, t0);
        return;
    }
    if (!gpu_output) video_color_follow(d, *frame);
    if (gpu_output && compose)
        compose_outputs(*screens.pass, d, compose, overlaid, pics.tex, pics.composed());
    uint32_t given = 0;  // outputs that took the picture
    for (int i = 0; i < d.nout; i++) {
        const KmsOutput &o = d.outs[i];
        const bool composed = bool(pics.composed()[size_t(i)]);
        bool sidebar_shown =
            !composed && o.sidebar && (screens.overlays.menu.open || screens.overlays.menu.message);
        const int W = o.mode.hdisplay, H = o.mode.vdisplay;
        Placement p = composed ? Placement{{0, 0, W, H}, {0, 0, W, H}}
                               : place_video({W, H, sidebar_shown, o.look, sw, sh});
        if (present_on(loop, i, copy ? copy->fb.get() : pics.of(i), p)) given |= 1u << i;
    }
    follow_flip(loop, gpu_output);
    if (software) {
        // The SPI copy takes the frame's own pixels, once the planes have theirs.
        spi_tee_software_frame(*screens.tee, *frame, parse_flip(screens.live.tuning.look.flip),
                               mono_us());
        frame = nullptr;  // the copy is what the planes scan out
    }
    shown_hand_over(screens.shown, std::move(frame), pics.fbs, std::move(copy), given);
    if (!screens.showing_video) {
        clear_standby_buffers(d);
        screens.showing_video = true;
        redraw_sidebars(screens.drawing, screens.overlays, overlay_facts(screens));
    }
    after_present(loop.health, loop.pacer, t0);
}

}  // namespace

bool detect_request_poll(Loop &loop) {
    const char *path = loop.detect.request.c_str();
    FileBytes b;
    const Fresh fresh = read_if_changed(loop.detect_file, path, &b);
    StreamFacts &facts = loop.mb.stream;
    if (fresh == Fresh::kMissing) {
        if (!facts.detect) return false;
        detect_off(facts, loop.screens.drawing.detections);
        return true;
    }
    if (fresh != Fresh::kRead) return false;
    b.data.push_back(0);
    const char *line = b.data.data();
    int want = strtol(line, nullptr, 10) != 0 || strncmp(line, "on", 2) == 0;
    if (want == facts.detect) return false;
    if (want)
        detect_on(facts, loop.detect);
    else
        detect_off(facts, loop.screens.drawing.detections);
    return true;
}

std::optional<End> loop_iteration(Loop &loop) {
    Mailbox &mb = loop.mb;
    Gate &gate = loop.gate;
    ScreenState &screens = loop.screens;
    Display &d = screens.display;
    Overlays &ov = screens.overlays;
    bool redraw = poll_menu(ov) != 0;
    mb.menu_open = ov.menu.open != 0;
    redraw |= poll_tuning(screens, loop.pacer);
    if (std::optional<std::string> why = hotplug_check(d, screens.hotplug, loop.health))
        return End{0, std::move(*why), nullptr};
    if (poll_connect(ov)) {
        for (KmsOutput &o : d.outputs()) standby_refresh(screens, o);
        redraw = true;
    }
    redraw |= detect_request_poll(loop);
    redraw |= poll_osd(ov) != 0;
    redraw |= poll_telemetry(ov) != 0;
    int64_t now_s = mono_ms() / 1000;
    if (now_s != loop.last_tick) {
        loop.last_tick = now_s;
        frame_hold_evaluate(loop.pacer, mb);
        // The SPI display's strip shows the time and the telemetry on an idle screen too.
        const KmsOutput &first = d.outs[0];
        if (!screens.showing_video && d.nout > 0 && first.standby.map)
            spi_tee_publish_buffer(*screens.tee, first.standby.px(), first.standby.pitch,
                                   first.mode.hdisplay, first.mode.vdisplay);
        // The HUD shows the time and the board's temperature.
        for (const KmsOutput &o : d.outputs()) redraw |= o.look.telemetry;
    }
    if (redraw) render_menu_all(screens.drawing, ov, overlay_facts(screens));
    overlays_out(loop);

    Acquired a = acquire_frame(loop.pacer, mb);
    if (a.kind == Acquired::kHold) return std::nullopt;
    if (!a.frame) {
        if (a.eof) return input_end(mb);
        gap_rules(gate, loop.health, screens);
        return std::nullopt;
    }
    if (!gate_pass(gate, loop.health, screens, a.frame.get())) return std::nullopt;
    hdmi_state_write(loop.health, "live");
    if (!display_cap_pass(loop.pacer)) {
        mb.drop_throttle++;
        gate.last_frame_us = mono_us();
        return std::nullopt;
    }
    present_frame(loop, std::move(a.frame));
    gate.last_frame_us = mono_us();
    return std::nullopt;
}

End stopped_end() {
    const int status = stop_status();
    char line[64];
    snprintf(line, sizeof line, "zyl-mpp: stopped by signal %d", status - 128);
    return End{status, line, "stopped"};
}

// The decoder's frames this thread keeps alive between passes: those on screen. A
// frame taken and dropped by a pass is freed by its end.
void publish_frames_held(Loop &loop) {
    const ShownPictures &s = loop.screens.shown;
    loop.mb.after = shown_frames(s);
}

// The reader is about to rebuild the decoder: the video planes go back to the
// standby buffers (black under video) and the pictures on screen are let go, until
// the new decoder's first picture.
void release_if_asked(Loop &loop) {
    if (!mb_release_asked(loop.mb)) return;
    ScreenState &screens = loop.screens;
    for (const KmsOutput &o : screens.display.outputs()) video_plane_standby(o, o.atomic);
    shown_clear(screens.shown);
    loop.mb.after = 0;
    mb_release_done(loop.mb);
}

End presentation_loop(Loop &loop) {
    loop.mb.keeps_frames = true;
    for (;;) {
        std::optional<End> end = loop_iteration(loop);
        publish_frames_held(loop);
        release_if_asked(loop);
        if (stop_status()) return stopped_end();
        if (end) return *end;
    }
}
