#pragma once

#include "kernel/types.h"

// Virtually contiguous memory; may sleep. Fault site "vmalloc".
void* vmalloc(unsigned long size);
void vfree(void* addr);
