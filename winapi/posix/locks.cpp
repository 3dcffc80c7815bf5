// Critical sections: a recursive host mutex in the section's own storage.
#include <new>
#include <pthread.h>

#include "winapi/posix/emulation.h"

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::host) &&
              alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION));

pthread_mutex_t* mutex_of(LPCRITICAL_SECTION section) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(section->host));
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutexattr_t recursive;
  pthread_mutexattr_init(&recursive);
  pthread_mutexattr_settype(&recursive, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (section->host) pthread_mutex_t, &recursive);
  pthread_mutexattr_destroy(&recursive);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(mutex_of(section)); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return pthread_mutex_trylock(mutex_of(section)) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(mutex_of(section)); }
