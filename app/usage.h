// The command line: the receiver takes its settings from the environment, so the
// only arguments are questions answered without touching a display or a decoder.
#pragma once

// Answers `arg` (argv[1]) and returns the exit status, or -1 when the receiver
// should start: --caps, --help and --version exit 0, another option prints the
// usage on standard error and exits 2. Words that are no option are ignored.
int answer_command_line(const char *arg);

// The settings file the package installs, every line at its default (generated
// from dist/zyl-mpp.default).
extern const char kSettingsText[];
