/* What the box robot's files share: its options, what it reads of a box, and
 * the calls each file offers the others. */
#ifndef BOXROBOT_ROBOT_H
#define BOXROBOT_ROBOT_H

#include <windows.h>

#include <stdio.h>

#define MAX_BUTTONS 8

struct Options {
    const char *log, *answer, *shots, *hold, *until;
    int timeoutSeconds;
    char commandLine[4096];
};

struct Button {
    HWND window;
    int id, x;
};

struct BoxInfo {
    struct Button buttons[MAX_BUTTONS];
    int buttonCount;
    int defaultId; /* of the button with BS_DEFPUSHBUTTON, 0 if none */
    HWND icon;
};

/* The record: standard output or the --log file. */
extern FILE *logFile;

/* options.c */
_Noreturn void fail(const char *message, const char *detail);
void parseOptions(int argc, char **argv, struct Options *o);

/* hold.c */
HANDLE holdFile(const char *argument);
int untilReached(const char *until);

/* boxes.c */
HWND findNewBox(DWORD processId, const HWND *seen, int seenCount);
void readControls(HWND box, struct BoxInfo *b);
int findButton(const struct BoxInfo *b, int id);

/* pixels.c */
const char *recogniseIcon(HWND iconControl);
void saveScreenshot(HWND box, const char *dir, int number);

/* record.c */
int handleBox(HWND box, const struct Options *o, int number);

#endif
