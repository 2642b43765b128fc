// Runs a short piece of code under a pthread mutex. The lock's extent is the
// lambda's body, so it can never be left held across a return, a script
// run, a sleep or a send.
#pragma once

#include <pthread.h>

template <typename Fn>
void WithLock(pthread_mutex_t* mutex, Fn&& fn) {
    pthread_mutex_lock(mutex);
    fn();
    pthread_mutex_unlock(mutex);
}
