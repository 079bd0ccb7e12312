// The daemon's timed steps in one place: the deadlines of its record (qv_schedule) and how long
// the loop may wait before the earliest of them, plus the doubling back-off that most of them
// follow. Plain arithmetic on qv_now_ms() times, so the loop's waits can be checked without a
// clock.
#include "daemon_internal.h"

bool schedule_due(int64_t at, int64_t now) {
    return at != 0 && at <= now;
}

int64_t schedule_wait_ms(const qv_schedule *s, int64_t now, int64_t cap) {
    int64_t wait = cap < 0 ? 0 : cap;
    // The reply retry and the challenge budget are limits on a step, not wake-ups: nothing
    // waits for them, so they are left out here.
    for (int64_t at :
         {s->reply_poll, s->queue_retry, s->subscribe, s->view_flush, s->devices_read}) {
        if (at == 0)
            continue;
        if (at <= now)
            return 0;
        if (at - now < wait)
            wait = at - now;
    }
    return wait;
}

int64_t daemon_backoff_next(int64_t last, int64_t min, int64_t max) {
    if (last <= 0)
        return min < max ? min : max;
    return last > max / 2 ? max : last * 2;
}
