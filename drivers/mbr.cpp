// The MBR partition table: four primary entries at byte 446, signature 0x55AA at 510.
#include "drivers/disk.h"
#include "kernel/printk.h"

namespace tav::drivers {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool extended(unsigned char type) { return type == 0x05 || type == 0x0f || type == 0x85; }

}  // namespace

std::vector<PartitionSpec> parseMbr(const unsigned char* sector0, std::uint64_t capacity) {
    std::vector<PartitionSpec> out;
    if (sector0[510] != 0x55 || sector0[511] != 0xAA) return out;
    for (int slot = 0; slot < 4; ++slot) {
        const unsigned char* e = sector0 + 446 + 16 * slot;
        unsigned char type = e[4];
        std::uint64_t start = le32(e + 8), len = le32(e + 12);
        if (type == 0 || len == 0) continue;
        if (extended(type)) {
            printk(KERN_INFO "mbr: extended partition in slot %d not scanned\n", slot + 1);
            continue;
        }
        if (start >= capacity) {
            printk(KERN_WARNING "mbr: partition %d starts beyond the disk, skipped\n", slot + 1);
            continue;
        }
        if (start + len > capacity) {
            printk(KERN_WARNING "mbr: partition %d extends beyond the disk, truncated\n", slot + 1);
            len = capacity - start;
        }
        out.push_back({start, len, slot + 1});
    }
    return out;
}

}  // namespace tav::drivers
