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
    HWND icon;
};

/* The record: standard output or the --log file. */
extern FILE *logFile;

/* options.c: the command line; a usage or start-up problem ends the robot with status 2. */
_Noreturn void fail(const char *message, const char *detail);
void parseOptions(int argc, char **argv, struct Options *o);

/* hold.c: the file held open while the program runs. */
HANDLE holdFile(const char *argument);
int untilReached(const char *until);

/* boxes.c: the boxes of a process and their controls. */
HWND findNewBox(DWORD processId, const HWND *seen, int seenCount);
void readControls(HWND box, struct BoxInfo *b);
int findButton(const struct BoxInfo *b, int id);

/* pixels.c: pixels of the screen, or of an icon drawn by the robot, and the pictures of the boxes. */
DWORD *renderPixels(int w, int h, int x, int y, HICON icon, DWORD background);
DWORD *captureScreen(const RECT *r);
void saveScreenshot(HWND box, const char *dir, int number);

/* icon.c */
const char *recogniseIcon(HWND iconControl);

/* record.c */
int handleBox(HWND box, const struct Options *o, int number);

#endif
