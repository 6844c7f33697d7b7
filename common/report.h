/*
 * What every operation of the updater shares: the one-byte step result and
 * the coded error box.
 */
#ifndef WELLHAVEN_COMMON_REPORT_H
#define WELLHAVEN_COMMON_REPORT_H

#include "platform/winapi.h"

/* Every file operation returns 1 for success and 0 for a failure that has
 * already been shown to the player. */
typedef unsigned char StepResult;

/* The sentences of the error boxes; the code in front tells which check
 * failed. */
extern const char kTextNoMemory[];
extern const char kTextNoInstallDir[];
extern const char kTextNoPayload[];
extern const char kTextNoPatchFile[];
extern const char kTextNoScratchFile[];
extern const char kTextNotWellhaven[];

/* Shows "E<code>: <sentence>" in a warning box with no owner and the
 * system's default caption. */
void ReportFailure(int code, const char *sentence);

/* Shows "E<code>: <fileName> を開けません。", naming a file the updater could
 * not open. */
void ReportOpenFailure(int code, const char *fileName);

#endif
