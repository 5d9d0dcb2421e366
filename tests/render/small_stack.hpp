// Test helper: runs a body on a thread with a 1 MiB stack, so a test shows that deep input ends
// in an error message instead of a stack overflow on threads smaller than the main one.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

namespace veskora {

inline void on_small_stack(const std::function<void()>& body) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 1024 * 1024), 0);
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
