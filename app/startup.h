// Start-up: the process entry behind main() (run.cpp) and the steps it takes before
// the presentation loop (startup.cpp): waiting for a display, preparing the decoder
// and loading the overlay font.
#pragma once

#include <optional>
#include <string>

struct DecodeSettings;
struct Font;
struct Mailbox;
struct ReaderArgs;
struct StreamFacts;

// The process: answers "--caps", or starts up and presents stdin's stream until it
// ends. Every end returns here through process_end with the exit status.
int receiver_main(int argc, char **argv);
// The same with a mailbox of the caller's, whose counters outlive the run.
int receiver_run(int argc, char **argv, Mailbox &mailbox);
// Back-off before display attempt n (0-based) while no display can be driven, in ms.
int display_retry_delay_ms(int attempt);
// Finds and prepares the decoder; fills ReaderArgs, whose name stays the one in
// `settings`, and tells `facts` (which the reader is then given) the codec.
// Returns 0, or the exit status.
int prepare_decoder(ReaderArgs *ra, const DecodeSettings &settings, StreamFacts &facts);
// Loads the first TrueType face into `font`: `first` (the setting), else the usual ones.
void load_font(Font &font, const std::optional<std::string> &first);
