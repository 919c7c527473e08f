// A critical section is a recursive pthread mutex kept inside the caller's structure;
// Windows critical sections are recursive for their owner thread too.
#include <windows.h>

#include <pthread.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION),
              "CRITICAL_SECTION too small for a pthread mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION not aligned for a pthread mutex");

static pthread_mutex_t* MutexOf(LPCRITICAL_SECTION lpCriticalSection) {
    return reinterpret_cast<pthread_mutex_t*>(lpCriticalSection->u.Opaque);
}

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(lpCriticalSection), &attr);
    pthread_mutexattr_destroy(&attr);
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return pthread_mutex_trylock(MutexOf(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
}
