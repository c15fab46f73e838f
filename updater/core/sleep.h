// Fixed waits of the daemon.
#pragma once

// Sleeps for the given number of microseconds, resuming after signals.
void kv_SleepMicroseconds(long microseconds);
