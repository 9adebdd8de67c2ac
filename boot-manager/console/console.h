// Console input and the operator dialogues. The console is descriptor 0 for
// input and standard output for output; outside a single-key read it keeps the
// mode it was found in (normally canonical and echoing).
#pragma once

#include <csignal>
#include <cstddef>

// Set by the SIGINT handler, cleared by the rescue menu: the dialogue in
// progress is abandoned.
extern volatile sig_atomic_t console_interrupted;

// Makes SIGINT (Ctrl-C on the console) set console_interrupted, without
// restarting the read it interrupts.
void install_interrupt_handler();
void on_interrupt(int signal);

// One byte read in raw mode, the terminal restored afterwards. timeout is in
// tenths of a second, 0 waits without limit. 0 when no byte came.
int console_get_key(unsigned timeout);

// The first nonzero byte, or 0 as soon as console_interrupted is set (seen
// within about 0.1 s).
int console_wait_key();

// Writes one character to standard output and flushes it.
void console_put_char(int c);

// Line editor. Fills buf (size bytes, at most size - 1 characters, always
// NUL-terminated) and returns it; returns null when an interrupt abandoned the
// read.
[[nodiscard]] char* console_read_line(char* buf, size_t size);

// "<prompt> y/N? ", one key with the time-out of console_get_key, echoed.
// True only for y or Y.
[[nodiscard]] bool console_confirm(const char* prompt, unsigned timeout);

// A question on the line-buffered console: true for "y", false for "n" or when
// no answer came within 5 s.
[[nodiscard]] bool console_ask_yes_no(const char* prompt);
