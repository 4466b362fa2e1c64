// The two things the tick clock needs from the operating system.
#pragma once

// Starts tick_thread as a detached thread that the process does not wait for at exit.
// A failure to start goes unnoticed (the clock then stands still).
void tick_thread_launch(void);
// Sleeps for one tick, 100 ms.
void tick_sleep(void);
