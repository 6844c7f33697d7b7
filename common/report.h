/*
 * What every operation of the updater shares: the coded error box.
 */
#ifndef WELLHAVEN_COMMON_REPORT_H
#define WELLHAVEN_COMMON_REPORT_H

#include "platform/winapi.h"

/* Every operation returns true for success and false for a failure that has
 * already been shown to the player. */

/* The sentences of the error boxes; the code in front tells which check
 * failed. kTextNotOpened and kTextDamaged name the file through their %s. */
extern const char kTextNoMemory[];
extern const char kTextNoInstallDir[];
extern const char kTextNotOpened[];
extern const char kTextNoPayload[];
extern const char kTextNoPatchFile[];
extern const char kTextNoScratchFile[];
extern const char kTextNotWellhaven[];
extern const char kTextDamaged[];
extern const char kTextPayloadDamaged[];

/* Shows "E<code>: <sentence>" in a warning box with no owner and the
 * system's default caption. fileName fills the %s of kTextNotOpened and
 * kTextDamaged and is unused by every other sentence. */
void ReportFailure(int code, const char *sentence, const char *fileName = NULL);

#endif
