// The one-second timer and the decoding of the stop-signal descriptor.
#pragma once

// Creates and arms the periodic one-second timer; returns its descriptor. Failure ends the
// process.
int timer_init();
// Consumes the expiration count so the descriptor stops being readable.
int timer_read();
void timer_close();

// Reads one signal record from a signal descriptor and returns the signal number.
int decode_signal(int fd);
