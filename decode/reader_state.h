// State the reader thread keeps between access units; shared by the reader loop
// and the stall and reopen policy, nothing outside decode/ sees it.
#pragma once

#include <cstdint>

#include "decode/decode.h"

struct ReaderState {
    ReaderArgs *ra;
    int read_bytes;
    bool strip_sei;
    bool decoder_open;
    bool decode;
    AVPacket *pkt;
    uint8_t *buf;  // accumulation buffer
    size_t len, cap;
    ParamSetStore ps;
    bool warned_discard;
    // stall and reopen policy
    bool stalled;
    int64_t pkts_since_frame;
    int64_t drops;
    int64_t last_frame_ms;
};

// Read-size rule: 4096..65536 taken as it is, anything else the default.
int reader_read_bytes(const char *value);

// Stall and reopen policy, consulted around every unit sent to the decoder.
// Returns true when the decoder was rebuilt and the unit goes to the new one.
bool recovery_before_send(ReaderState *st, const UnitFindings &f);
// A drain after a successful send returned frames.
void recovery_frames_flowing(ReaderState *st);
// After the unit that caused a rebuild was sent: the parser is made anew.
void recovery_after_rebuild(ReaderState *st);
// After every unit sent or dropped.
void stall_check(ReaderState *st);
