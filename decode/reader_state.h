// State the reader thread keeps between access units; shared by the reader loop
// and the stall and reopen policy, nothing outside decode/ sees it.
#pragma once

#include <cstdint>

#include "decode/decode.h"

struct ReaderState {
    ReaderArgs *ra;
    const ReaderHooks *hooks;
    const DecodeSettings *settings;
    int stop_fd;  // -1: none
    int read_bytes;
    bool strip_sei;
    bool decoder_open;
    bool decode;
    AVPacket *pkt;
    uint8_t *buf;  // accumulation buffer
    size_t len, cap;
    // Where the last read's bytes begin in `buf`, and the monotonic times of that
    // read and the one before: a unit is stamped with the arrival of its last byte.
    size_t fresh_from;
    int64_t read_us, prev_read_us;
    ParamSetStore ps;
    bool warned_discard;
    size_t since_unit;       // bytes parsed since the last access unit
    bool pending_decodable;  // those bytes begin a slice or a parameter set
    int64_t parser_restarts;
    // stall and reopen policy
    bool stalled;
    int64_t pkts_since_frame;
    int64_t drops;
    int64_t last_frame_ms;
    int64_t flushes;        // stalls declared since start, never reset
    int64_t reopens;        // rebuilds for a parameter-set change
    int64_t stall_reopens;  // rebuilds on a random-access unit during a stall
    uint64_t decoded;       // frames drained since start
    bool flags_keys;        // the decoder marks its keyframes itself
    bool may_hold;          // a unit went in since a drain last found nothing
    int64_t held;           // units sent since the open or flush, less pictures out
    bool said_pause_drain;  // the first pause drain was told
    bool refs_known;        // the budget counts the open decoder's own references
    int budget;             // the frame budget last told to the hooks
    bool dead;              // only a restart helps: the input ends here
    RecoverySettings rs;
};

// Drains the decoder into the hooks, counting the frames; returns how many. `last`,
// when given, gets the answer that ended the drain.
int drain(ReaderState *st, int keyframe, int *last = nullptr);
// Tells the hooks the frame budget of the decoder just opened.
void budget_after_open(ReaderState *st);

// What a unit of 4 bytes or more does to the decoder before it is sent.
enum class Reopen {
    kSend,            // nothing to do
    kAbsorb,          // changed, but reopening is off
    kInBand,          // changed without a random-access slice to restart on
    kRebuildStall,    // random-access unit during a stall
    kRebuildChanged,  // changed at a random-access unit
};
Reopen reopen_decision(bool reopen_on, bool changed, bool random_access, bool stalled);

// Units without a frame before silence can count as a stall.
constexpr int64_t kStallPackets = 45;
enum class Stall { kNone, kFlush, kDead };
// Whether the clock needs reading at all: only these can ever stall.
bool stall_watched(int64_t pkts, int64_t dead_ms, uint64_t dec_count);
Stall stall_decision(int64_t pkts, int64_t elapsed_ms, int64_t dead_ms, uint64_t dec_count,
                     int64_t reopens, bool dead_exit);

// Bytes of extradata a rebuilt decoder gets from the tracked sets (VPS for H.265,
// SPS, PPS, each with its start code), or -1 when one of them was never seen.
int rebuild_extradata_len(const ParamSetStore &ps, int hevc);

// Stall and reopen policy, consulted around every unit sent to the decoder.
// Returns true when the decoder was rebuilt and the unit goes to the new one; a
// rebuild that failed past the point of no return sets `dead`.
bool recovery_before_send(ReaderState *st, const UnitFindings &f);
// A drain after a successful send returned frames.
void recovery_frames_flowing(ReaderState *st);
// After the unit that caused a rebuild was sent: the parser is made anew (or
// `dead` is set).
void recovery_after_rebuild(ReaderState *st);
// After every unit sent or dropped; a dead decoder sets `dead`.
void stall_check(ReaderState *st);
