/*
 * The box robot: starts a program, answers every message box it shows and
 * writes down what each box looked like, until the program exits.
 *
 *   boxrobot.exe [options] -- PROGRAM [ARGUMENTS...]
 *
 *   --log FILE        write the record to FILE (default: standard output)
 *   --answer WHAT     how to answer a box with Yes and No buttons:
 *                     yes | no (click the button), escape (press Escape)
 *   --shots DIR       save a picture of each box as DIR\box<N>.bmp
 *   --hold FILE:MODE  before starting the program, open FILE for reading and
 *                     keep it open until the program has ended; MODE is the
 *                     sharing granted to others: none | read | delete (read
 *                     and delete: a deleted name stays until the robot lets go)
 *   --until FILE=REFERENCE
 *                     let go of the held file once FILE holds the bytes of
 *                     REFERENCE, and another 300 ms have passed
 *   --timeout SEC     give up (and end the program) after SEC seconds without
 *                     a new box or the program's exit (default 20)
 *
 * A box is a visible top-level window of class #32770 that belongs to the
 * started process. For each box the record holds one line:
 *
 *   box caption=<hex> text=<hex> buttons=<ids> default=<id> icon=<name> pressed=<id>
 *
 * caption and text are the window texts as the player reads them, in UTF-16
 * (little-endian bytes in hex, empty when there is none), buttons the ids of the visible push buttons from
 * left to right, default the id of the one with BS_DEFPUSHBUTTON (0 if none),
 * icon the system icon shown: error (IDI_HAND), question (IDI_QUESTION),
 * warning (IDI_EXCLAMATION), information (IDI_ASTERISK), none, or unknown when
 * the pixels on screen match none of the four. The last line is
 *
 *   exit <code>       the program's exit code
 *   timeout           the program was ended after the timeout
 *   unanswered        the last box had no button to press, or the answer
 *                     could not be sent; the program was ended
 *
 * The robot's own exit status is 0 after "exit", 3 after a timeout, 4 after
 * "unanswered" and 2 for a usage or start-up problem (explained on standard
 * error).
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
