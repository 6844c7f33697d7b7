/*
 * The box robot: starts a program, answers every message box it shows and
 * writes down what each box looked like, until the program exits. Its
 * options, its record and its exit status are told in docs/wine.md, "The box
 * robot".
 */
#include "robot.h"

#include <stdlib.h>
#include <string.h>

#define MAX_BOXES 64
/* How long the held file stays open after the --until condition is met. */
#define UNTIL_GRACE_MS 300

FILE *logFile;

static void finish(int status)
{
    if (logFile != stdout) fclose(logFile);
    exit(status);
}

/* Ends the program early and writes down why. */
static void stop(HANDLE process, const char *why, int status)
{
    TerminateProcess(process, 259);
    WaitForSingleObject(process, 5000);
    fprintf(logFile, "%s\n", why);
    finish(status);
}

int main(int argc, char **argv)
{
    struct Options o;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    HANDLE held = INVALID_HANDLE_VALUE;
    HWND seen[MAX_BOXES];
    int seenCount = 0;
    DWORD code = 0, limit, lastProgress, reachedAt = 0;
    int reached = 0;

    parseOptions(argc, argv, &o);
    limit = (DWORD)o.timeoutSeconds * 1000u;
    logFile = stdout;
    if (o.log) {
        logFile = fopen(o.log, "w");
        if (!logFile) fail("cannot write the log", o.log);
    }
    if (o.hold) held = holdFile(o.hold);

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    memset(&pi, 0, sizeof pi);
    if (!CreateProcessA(NULL, o.commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        fail("cannot start the program", o.commandLine);
    CloseHandle(pi.hThread);

    lastProgress = GetTickCount();
    while (WaitForSingleObject(pi.hProcess, 30) != WAIT_OBJECT_0) {
        HWND box;
        if (held != INVALID_HANDLE_VALUE && o.until) {
            if (!reached && untilReached(o.until)) {
                reached = 1;
                reachedAt = GetTickCount();
            }
            if (reached && GetTickCount() - reachedAt >= UNTIL_GRACE_MS) {
                CloseHandle(held);
                held = INVALID_HANDLE_VALUE;
            }
        }
        box = findNewBox(pi.dwProcessId, seen, seenCount);
        if (box) {
            if (seenCount == MAX_BOXES) fail("too many boxes", NULL);
            seen[seenCount++] = box;
            /* Left alone, an unanswered box would hold the program until the timeout: end it now and say why. */
            if (handleBox(box, &o, seenCount) < 0) stop(pi.hProcess, "unanswered", 4);
            lastProgress = GetTickCount();
            /* The next box is looked for once this one has gone. */
            while (IsWindow(box) && IsWindowVisible(box) && GetTickCount() - lastProgress < limit)
                if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) break;
            lastProgress = GetTickCount();
        }
        if (GetTickCount() - lastProgress > limit) stop(pi.hProcess, "timeout", 3);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    fprintf(logFile, "exit %lu\n", (unsigned long)code);
    finish(0);
    return 0;
}
