#pragma once

#include "kernel/types.h"

void get_random_bytes(void* buf, int nbytes);
