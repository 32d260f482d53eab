// Decoder stall and reopen policy. Until it is in place the reader sends every
// unit to the decoder it has; these are the points where the policy acts.
#include "decode/reader_state.h"

std::atomic<uint64_t> g_reopens;

bool recovery_before_send(ReaderState *, const UnitFindings &) {
    return false;
}

void recovery_frames_flowing(ReaderState *st) {
    st->stalled = false;
}

void recovery_after_rebuild(ReaderState *) {}

void stall_check(ReaderState *) {}
