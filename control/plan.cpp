/*
 * The update plan: the fixed sequence of file operations that brings each
 * older edition up to ver1.03 (plain line) or ver1.03a (a-line).
 */
#include "control/control.h"

#include "discovery/discovery.h"
#include "payload/payload_ids.h"
#include "replace/replace.h"

/* data.xp3 and scr.xp3 of ver1.00 and ver1.00a, rebuilt from the installed
 * copies. The rebuilt data.xp3 has the size every later edition's has. */
static const SpliceRecipe kDataXp3Recipe = {138482, 22408, 8992, 8981, 105475, 1591};
static const SpliceRecipe kScrXp3Recipe = {920821, 917, 321102, 321084, 594350, 4436};

/* Which editions take a step, one bit per edition. */
enum {
    OLDEST = 0x03,     /* ver1.00, ver1.00a */
    PLAIN_LINE = 0x15, /* ver1.00, ver1.01, ver1.02 */
    A_LINE = 0x2A,     /* ver1.00a, ver1.01a, ver1.02a */
    ALL_OLD = 0x3F     /* ver1.00 to ver1.02a */
};

enum StepKind { SPLICE, SIGNATURE, WHOLE_FILE };

struct PlanStep {
    unsigned char editions;
    StepKind kind;
    const char *fileName;
    const SpliceRecipe *recipe; /* SPLICE */
    DWORD length;               /* WHOLE_FILE: the payload's size */
    DWORD attributes;           /* WHOLE_FILE */
    WORD payloadId;
};

/* The steps in the order they run. In each stage the file whose size tells
 * identification that the stage is done is written last: data.xp3 for
 * ver1.00 and ver1.00a, auxtrans.dll for every edition. A run stopped
 * anywhere before it is identified as the same edition again (or, after the
 * plain line's ext.xp3, as ver1.02) and does the stage again; a scr.xp3
 * spliced already has its finished size and is skipped. */
static const PlanStep kPlan[] = {
    {OLDEST, SPLICE, "scr.xp3", &kScrXp3Recipe, 0, 0, PAYLOAD_SCR_XP3},
    {OLDEST, SIGNATURE, "scr.xp3.sig", NULL, 0, 0, PAYLOAD_SCR_XP3_SIG},
    {OLDEST, SIGNATURE, "data.xp3.sig", NULL, 0, 0, PAYLOAD_DATA_XP3_SIG},
    {OLDEST, SIGNATURE, "Wellhaven.exe.sig", NULL, 0, 0, PAYLOAD_WELLHAVEN_EXE_SIG},
    {OLDEST, SPLICE, "data.xp3", &kDataXp3Recipe, 0, 0, PAYLOAD_DATA_XP3},
    {PLAIN_LINE, WHOLE_FILE, "ext.xp3", NULL, 30928, FILE_ATTRIBUTE_NORMAL, PAYLOAD_EXT_XP3},
    {PLAIN_LINE, WHOLE_FILE, "ext.xp3.sig", NULL, 212, FILE_ATTRIBUTE_HIDDEN, PAYLOAD_EXT_XP3_SIG},
    {A_LINE, WHOLE_FILE, "ext.xp3", NULL, 59697, FILE_ATTRIBUTE_NORMAL, PAYLOAD_EXT_XP3_A},
    {A_LINE, WHOLE_FILE, "ext.xp3.sig", NULL, 212, FILE_ATTRIBUTE_HIDDEN, PAYLOAD_EXT_XP3_SIG_A},
    {ALL_OLD, SIGNATURE, "auxtrans.dll.sig", NULL, 0, 0, PAYLOAD_AUXTRANS_DLL_SIG},
    {ALL_OLD, WHOLE_FILE, "auxtrans.dll", NULL, 90112, FILE_ATTRIBUTE_NORMAL, PAYLOAD_AUXTRANS_DLL},
};

static bool RunStep(const PlanStep *step, const char *installDir, HMODULE module)
{
    if (step->kind == SPLICE)
        return SplicePatch(installDir, step->fileName, step->recipe, step->payloadId, module);
    if (step->kind == SIGNATURE)
        return PlaceSignature(installDir, step->fileName, step->payloadId, module);
    return PlaceWholeFile(installDir, step->fileName, step->length, step->attributes, step->payloadId, module);
}

bool RunUpdatePlan(const char *installDir, int edition, HMODULE module)
{
    /* Only an old edition has steps; anything else would be told that an
     * update it never had is complete. */
    if (edition < 0 || edition >= EDITION_FIRST_UP_TO_DATE)
        return false;
    for (unsigned i = 0; i < sizeof kPlan / sizeof kPlan[0]; i++) {
        if ((kPlan[i].editions & (1u << edition)) == 0)
            continue;
        if (!RunStep(&kPlan[i], installDir, module))
            return false;
    }
    MessageBoxA(NULL, "アップデートが完了しました。", "情報", MB_OK | MB_ICONINFORMATION);
    return true;
}
