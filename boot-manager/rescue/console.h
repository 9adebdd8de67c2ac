// Console input and the operator dialogues.
#pragma once

#include <csignal>

// Set by the SIGINT handler, cleared by the rescue menu: the dialogue in
// progress is abandoned.
extern volatile sig_atomic_t console_interrupted;
