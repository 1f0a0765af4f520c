#pragma once

#include <ctime>

#include "kernel/types.h"

// Wall-clock time, as the kernel's xtime.
struct timespec current_kernel_time();
