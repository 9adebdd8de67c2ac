#include "rescue/console.h"

volatile sig_atomic_t console_interrupted = 0;
