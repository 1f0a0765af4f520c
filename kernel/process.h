// User processes. A process owns a descriptor table and an address space, and names the
// host process whose memory is its user memory. The host process itself is the local
// process (tests and in-process tools): its mappings are real ranges of this address
// space. A remote process (a daemon client) lives in another host process: its user
// copies reach that process's memory, and its mappings are records of ranges the client
// reserved and maps itself, page by page, from the page arena.
//
// The calling thread's process is its task's (current->process), the local process
// when none is set; ProcessScope makes a thread a task of another process for a while.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tav::sys { class Backend; }
struct FdTable;    // kernel/sys.cpp
struct ProcessMm;  // kernel/mman.cpp

namespace tav::kernel {

struct Process {
    pid_t memoryPid = 0;      // whose memory user copies reach; read-only
    bool remote = false;      // read-only
    FdTable* fds = nullptr;   // owned; see kernel/sys.cpp
    ProcessMm* mm = nullptr;  // owned; see kernel/mman.cpp
};

Process* localProcess();
Process* currentProcess();

// A process whose user memory is host process pid's. Empty: no descriptors, no mappings.
Process* createRemoteProcess(pid_t pid);
// Frees an empty process (after tav::sys::exitProcess ran as a task of it).
void destroyProcess(Process* p);

// Makes the calling thread a task of p until the scope ends.
class ProcessScope {
public:
    explicit ProcessScope(Process* p);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Process* previous_;
};

// tav::sys::mmap on a descriptor of the calling thread's process; addr as mmapFile's.
// An address, or a negative errno.
long mmapDescriptor(int fd, size_t length, int prot, int flags, off_t offset, unsigned long addr);

// The tav::sys backend a call of the calling thread goes to, or null to run it here.
tav::sys::Backend* callerBackend();

// Made by sys.cpp and mman.cpp for a new process; freed with it.
FdTable* newFdTable();
void freeFdTable(FdTable* t);
ProcessMm* newProcessMm(bool remote);
void freeProcessMm(ProcessMm* m);

}  // namespace tav::kernel
