/*
 * Every box the player sees: its texts, all of them here, and the one
 * procedure that shows them.
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

/* The question, the two information boxes, and their captions: the
 * installed edition's (0 to 7) for the question and the up-to-date box. */
extern const char kTextAskToUpdate[];
extern const char kTextUpToDate[];
extern const char kTextCompleted[];
extern const char kCaptionInformation[];
extern const char *const kEditionCaptions[];

/* Shows a box with no owner and returns the button pressed (0: the box
 * could not be shown). text and caption are code page 932 bytes, shown as
 * Japanese on any system; a NULL caption is the system's default one. */
int ShowBox(const char *text, const char *caption, UINT flags);

/* Shows "E<code>: <sentence>" in a warning box with the system's default
 * caption. fileName fills the %s of kTextNotOpened and kTextDamaged and is
 * unused by every other sentence. */
void ReportFailure(int code, const char *sentence, const char *fileName = NULL);

#endif
