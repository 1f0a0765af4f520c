#include "kernel/accounting.h"

namespace tav::kernel {

LiveCounters& live() {
    static auto* c = new LiveCounters;
    return *c;
}

LiveSnapshot liveSnapshot() {
    LiveCounters& c = live();
    return {c.pages.load(),      c.kmallocBlocks.load(), c.vmallocBlocks.load(),
            c.slabObjects.load(), c.slabCaches.load(),    c.bios.load(),
            c.bufferHeads.load(), c.kernelThreads.load()};
}

std::string LiveSnapshot::describe() const {
    return "pages=" + std::to_string(pages) + " kmalloc=" + std::to_string(kmallocBlocks) +
           " vmalloc=" + std::to_string(vmallocBlocks) + " slabObjects=" + std::to_string(slabObjects) +
           " slabCaches=" + std::to_string(slabCaches) + " bios=" + std::to_string(bios) +
           " bufferHeads=" + std::to_string(bufferHeads) + " kernelThreads=" + std::to_string(kernelThreads);
}

}  // namespace tav::kernel
