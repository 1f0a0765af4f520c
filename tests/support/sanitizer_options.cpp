// Sanitizer defaults for the test binaries.
//
// Page faults on device mappings run the driver's nopage inside the platform's SIGSEGV
// handler (kernel/mman.h), where drivers allocate, lock and log as the kernel's fault
// path does: ThreadSanitizer must not report those calls as signal-unsafe. The platform
// installs its handler after AddressSanitizer's and passes foreign faults on to it, so
// AddressSanitizer must let a program install its own SIGSEGV handler.
extern "C" const char* __tsan_default_options() { return "report_signal_unsafe=0"; }
extern "C" const char* __asan_default_options() { return "allow_user_segv_handler=1"; }
