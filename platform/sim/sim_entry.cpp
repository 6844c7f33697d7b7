/*
 * The one entry every call of SIM_CALLS passes (traced, shown to the hook,
 * then its injected fault), the last error, and misuses.
 */
#include <stdio.h>
#include <stdlib.h>

#include "platform/sim/sim_state.h"

namespace sim {

const char *OpName(Op op)
{
#define SIM_NAME(name) #name,
    static const char *const names[OpCount] = {SIM_CALLS(SIM_NAME)};
#undef SIM_NAME
    return op < OpCount ? names[op] : "?";
}

DWORD Enter(Op op, const std::string &path, const std::string &source, bool *shortTransfer)
{
    State &s = S();
    s.trace.push_back(Call{op, path, source});
    if (s.callHook)
        s.callHook(s.trace.back());
    Fault &f = s.faults[op];
    if (f.times == 0)
        return 0;
    if (f.skip != 0) {
        f.skip--;
        return 0;
    }
    if (f.times != kLasting)
        f.times--;
    s.faultFired = true;
    if (shortTransfer != nullptr)
        *shortTransfer = f.shortTransfer;
    /* A short transfer succeeds and leaves the error alone; the registry
     * returns its error. */
    if (f.shortTransfer)
        return 0;
    if (op != OpRegOpenKeyExA && op != OpRegQueryValueExA)
        SetError(f.error);
    return f.error;
}

/* nth 0 is no call at all: no fault. */
void FailCall(Op op, unsigned nth, DWORD error, unsigned times)
{
    S().faults[op] = Fault{nth - 1, nth == 0 ? 0 : times, false, error};
}

void ShortCall(Op op, unsigned nth)
{
    S().faults[op] = Fault{nth - 1, nth == 0 ? 0u : 1u, true, 0};
}

bool FaultFired()
{
    return S().faultFired;
}

const std::vector<Call> &Trace()
{
    return S().trace;
}

void BeforeCall(std::function<void(const Call &call)> hook)
{
    S().callHook = hook;
}

/* The tests' handler, not the machine's: a new machine keeps it. */
static std::function<void(const std::string &what)> gMisuseHandler;

void OnMisuse(std::function<void(const std::string &what)> handler)
{
    gMisuseHandler = handler;
}

void Misuse(const std::string &what)
{
    if (gMisuseHandler) {
        gMisuseHandler(what);
        return;
    }
    fprintf(stderr, "simulated Windows: misuse: %s\n", what.c_str());
    abort();
}

} // namespace sim

extern "C" DWORD WINAPI GetLastError(void)
{
    return sim::S().lastError;
}
