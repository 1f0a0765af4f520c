// struct completion: a count of done events that waiters consume.
#pragma once

#include <condition_variable>
#include <mutex>

#include "kernel/types.h"

struct completion {
    std::mutex lock;
    std::condition_variable cv;
    unsigned done = 0;  // guarded by lock
    completion() = default;
    completion(const completion&) {}
    completion& operator=(const completion&) { return *this; }
};

void init_completion(struct completion* x);
void complete(struct completion* x);
void complete_all(struct completion* x);
void wait_for_completion(struct completion* x);
// For tests: 1 when a wait would return at once.
int completionDone(struct completion* x);
