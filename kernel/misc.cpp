// Time, randomness and the fatal assertion.
#include <sys/random.h>

#include "kernel/printk.h"
#include "kernel/random.h"
#include "kernel/time.h"

struct timespec current_kernel_time() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

void get_random_bytes(void* buf, int nbytes) {
    auto* p = static_cast<char*>(buf);
    for (int done = 0; done < nbytes;) {
        ssize_t n = getrandom(p + done, static_cast<size_t>(nbytes - done), 0);
        if (n > 0) done += static_cast<int>(n);
    }
}

void kernelBug(const char* file, int line) {
    printk("<2>kernel BUG at %s:%d!\n", file, line);
    abort();
}
