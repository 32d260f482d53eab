// Stopping on request: SIGTERM and SIGINT end the process through the presentation
// loop's own exit, with a last state line, and a reader of standard error that goes
// away does not end it at all.
#pragma once

struct Mailbox;
// Ignores SIGPIPE and catches SIGTERM and SIGINT; once per process, before any other
// thread starts. A stop signal wakes the waits on `wakes`, which must outlive
// stop_waker_join().
void stop_signals_install(Mailbox &wakes);
// 0 while running; once a stop signal came, its conventional exit status (128 + signo).
int stop_status();
// Becomes readable, and stays so, once a stop signal came; -1 without one installed.
int stop_fd();
// Makes stop_fd() readable without a stop signal, so that the threads waiting on it
// (the reader, the waker) leave at the process's end; stop_status() stays 0.
void stop_leave();
// Waits for the thread that wakes the loop at a stop signal; only once stop_fd() is
// readable.
void stop_waker_join();
