// Annotations for clang's thread-safety analysis (-Wthread-safety): which mutex guards
// which data, and which functions take or give back that mutex. Other compilers see
// nothing.
#pragma once

#include <pthread.h>

#if defined(__clang__)
#define LAPI_TSA(x) __attribute__((x))
#else
#define LAPI_TSA(x)
#endif

#define LAPI_CAPABILITY(name) LAPI_TSA(capability(name))
#define LAPI_GUARDED_BY(m) LAPI_TSA(guarded_by(m))
#define LAPI_PT_GUARDED_BY(m) LAPI_TSA(pt_guarded_by(m))
#define LAPI_ACQUIRE(...) LAPI_TSA(acquire_capability(__VA_ARGS__))
#define LAPI_RELEASE(...) LAPI_TSA(release_capability(__VA_ARGS__))
#define LAPI_REQUIRES(...) LAPI_TSA(requires_capability(__VA_ARGS__))
#define LAPI_EXCLUDES(...) LAPI_TSA(locks_excluded(__VA_ARGS__))

// A process-wide pthread mutex the analysis can follow. Statically initialised, so it
// is usable before any constructor has run and is never destroyed.
class LAPI_CAPABILITY("mutex") LAPI_Mutex {
  public:
    constexpr LAPI_Mutex() = default;
    LAPI_Mutex(const LAPI_Mutex &) = delete;
    LAPI_Mutex &operator=(const LAPI_Mutex &) = delete;

    // Both return pthread's result; the caller decides how to report a failure.
    int Lock() LAPI_ACQUIRE() { return pthread_mutex_lock(&m_); }
    int Unlock() LAPI_RELEASE() { return pthread_mutex_unlock(&m_); }

  private:
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
};
