// Preloaded into kavro-flash-sim by the protocol tests, to make what a test cannot cause from
// outside: with KAVRO_FAIL_THREAD_START=N the N-th thread start (counting from 1) fails as it
// does when the system runs out of threads; with KAVRO_PRINT_DIAGNOSTICS set, a thread keeps
// printing diagnostic lines to standard output for the life of the program, as session threads
// print theirs.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) noexcept {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static std::atomic<long> starts = 0;
  static const char* failing = std::getenv("KAVRO_FAIL_THREAD_START");
  if (++starts == std::atol(failing != nullptr ? failing : "0")) {
    return EAGAIN;
  }
  static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  return next(thread, attributes, routine, argument);
}

__attribute__((constructor)) static void start_printing() {
  if (std::getenv("KAVRO_PRINT_DIAGNOSTICS") != nullptr) {
    std::thread([] {
      while (true) {
        std::printf("diagnostic\n");
        // Paced so that the program's own lines get through: stdout's lock is not fair.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    }).detach();
  }
}
