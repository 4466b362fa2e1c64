// The two things the tick clock needs from the operating system.
#pragma once

// Starts tick_thread as a detached thread that the process does not wait for at exit.
// 1 started, -1 when the system cannot start it.
int tick_thread_launch(void);
// Sleeps for one tick, 100 ms.
void tick_sleep(void);
