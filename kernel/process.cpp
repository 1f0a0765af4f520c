#include "kernel/process.h"

#include <unistd.h>

#include "kernel/sched.h"

namespace tav::kernel {

Process* localProcess() {
    static auto* p = [] {
        auto* l = new Process;  // never destroyed: faults may come during static teardown
        l->memoryPid = getpid();
        l->fds = newFdTable();
        l->mm = newProcessMm(false);
        return l;
    }();
    return p;
}

Process* currentProcess() {
    Process* p = current->process;
    return p ? p : localProcess();
}

Process* createRemoteProcess(pid_t pid) {
    auto* p = new Process;
    p->memoryPid = pid;
    p->remote = true;
    p->fds = newFdTable();
    p->mm = newProcessMm(true);
    return p;
}

void destroyProcess(Process* p) {
    if (!p || p == localProcess()) return;
    freeFdTable(p->fds);
    freeProcessMm(p->mm);
    delete p;
}

ProcessScope::ProcessScope(Process* p) : previous_(current->process) { current->process = p; }
ProcessScope::~ProcessScope() { current->process = previous_; }

}  // namespace tav::kernel
