// Forced into every unit of the thread-sanitizer build. GCC 12's libstdc++ makes the timed waits
// of std::timed_mutex and std::shared_timed_mutex with pthread_*_clocklock, which ThreadSanitizer
// does not intercept: it would then see those locks taken without their releases and report races
// that are not there. Without the macros the library uses the intercepted timedlock calls.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
