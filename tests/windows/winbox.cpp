// tests/support/simbox.h for Windows test programs: COM2 is fixed by the Wine
// prefix (it names the box command's link), so "pointing the port" means
// starting or stopping that box; process resources are counted as handles.
#include <windows.h>

#include <tlhelp32.h>

#include "tests/support/simbox.h"
#include "tests/windows/remote_box.h"

namespace testbox {

std::string UniqueLink() {
    return "COM2";
}

sim::Config Fast() {
    sim::Config cfg;
    cfg.pacing = false;
    return cfg;
}

sim::Box *Start(sim::Config cfg) {
    return sim::Start(cfg);
}

void PointAtMissingPort() {
    remote_box::Stop();
}

int OpenFds() {
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return static_cast<int>(n);
}

int Threads() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return -1;
    int n = 0;
    THREADENTRY32 te;
    te.dwSize = sizeof te;
    for (BOOL more = Thread32First(snap, &te); more; more = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snap);
    return n;
}

} // namespace testbox
