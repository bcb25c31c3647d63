// For the platform files that start threads of their own beside the
// library's.
#pragma once

#include <pthread.h>

// Starts a thread that takes none of the ending signals (they are main's,
// which ends the program on them); true if it started. A fault in the
// thread (SIGSEGV and the like) still reaches its handler and is reported.
bool start_thread(pthread_t *thread, void *(*routine)(void *), void *argument);
