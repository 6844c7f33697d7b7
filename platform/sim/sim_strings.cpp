/*
 * The simulated string calls, which read names in code page 932.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/sim/sim_state.h"

namespace sim {

bool IsLeadByte932(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

} // namespace sim

extern "C" int WINAPI lstrlenA(LPCSTR string)
{
    return string == NULL ? 0 : (int)strlen(string);
}

extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    /* Windows writes at most 1024 characters and its terminator. */
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, 1025, format, args);
    va_end(args);
    return n > 1024 ? 1024 : n;
}

extern "C" LPSTR WINAPI CharNextA(LPCSTR current)
{
    if (*current == '\0')
        return (LPSTR)current;
    if (sim::IsLeadByte932((unsigned char)current[0]) && current[1] != '\0')
        return (LPSTR)(current + 2);
    return (LPSTR)(current + 1);
}
