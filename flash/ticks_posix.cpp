// The tick thread on POSIX systems.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include "flash/tick_platform.h"
#include "flash/ticks.h"

namespace {

void *tick_thread_entry(void *argument) {
    tick_thread(argument);
    return nullptr;
}

}  // namespace

int tick_thread_launch(void) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, tick_thread_entry, nullptr) != 0) return -1;
    pthread_detach(thread);
    return 1;
}

void tick_sleep(void) {
    struct timespec tick = {0, 100 * 1000 * 1000};
    // A signal cuts the sleep short: sleep the rest.
    while (nanosleep(&tick, &tick) == -1 && errno == EINTR) {
    }
}
