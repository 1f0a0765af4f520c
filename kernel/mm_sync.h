// A sync point for tests that order a page reference against a concurrent free.
#pragma once

struct page;

namespace tav::kernel {

using PageSyncPoint = void (*)(struct page* page);
// Runs in get_page, before the reference is taken; null removes it. While none is set,
// get_page pays one relaxed atomic load.
void setGetPageSyncPoint(PageSyncPoint fn);

}  // namespace tav::kernel
