// Test helper: runs a body on a thread with a 1 MiB stack, so a test shows that deep input ends
// in an error message instead of a stack overflow on threads smaller than the main one.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <functional>

namespace veskora {

// The sanitizer's frames are several times the size of an optimised build's, so a test of what
// fits in 1 MiB there gives the sanitized build a stack as much larger.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t sanitizer_stack_factor = 8;
#else
inline constexpr std::size_t sanitizer_stack_factor = 1;
#endif

inline void on_small_stack(const std::function<void()>& body, std::size_t bytes = 1024 * 1024) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
    pthread_t thread;
    auto* arg = const_cast<std::function<void()>*>(&body);
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* p) -> void* {
                      (*static_cast<std::function<void()>*>(p))();
                      return nullptr;
                  },
                  arg),
              0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
}

}  // namespace veskora
