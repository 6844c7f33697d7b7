/*
 * The update plan: the fixed sequence of file operations that brings each
 * older edition up to ver1.03 (plain line) or ver1.03a (a-line).
 */
#include "control/control.h"

#include "discovery/discovery.h"
#include "payload/payload_ids.h"
#include "release_crcs.h"
#include "replace/replace.h"

/* data.xp3 and scr.xp3 of ver1.00 and ver1.00a, rebuilt from the installed
 * copies. The rebuilt data.xp3 has the size every later edition's has. Each
 * line keeps runs of its own, so the finished files differ: their CRC-32s,
 * like the payloads', come from the release the build was given. */
struct Splice {
    SpliceRecipe recipe;
    DWORD finishedCrc[2]; /* ver1.00, ver1.00a */
};
static const Splice kDataXp3 = {{138482, 22408, 8992, 8981, 105475, 1591},
                                {CRC_FINISHED_DATA_XP3_0, CRC_FINISHED_DATA_XP3_1}};
static const Splice kScrXp3 = {{920821, 917, 321102, 321084, 594350, 4436},
                               {CRC_FINISHED_SCR_XP3_0, CRC_FINISHED_SCR_XP3_1}};

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
    const Splice *splice; /* SPLICE */
    DWORD length;         /* WHOLE_FILE: the payload's size */
    DWORD attributes;     /* WHOLE_FILE */
    WORD payloadId;
    DWORD payloadCrc;
};

/* The steps in the order they run. In each stage the file whose size tells
 * identification that the stage is done is written last: data.xp3 for
 * ver1.00 and ver1.00a, auxtrans.dll for every edition. A run stopped
 * anywhere before it is identified as the same edition again (or, after the
 * plain line's ext.xp3, as ver1.02) and does the stage again; a scr.xp3
 * spliced already has its finished size and CRC-32 and is skipped. */
static const PlanStep kPlan[] = {
    {OLDEST, SPLICE, "scr.xp3", &kScrXp3, 0, 0, PAYLOAD_SCR_XP3, CRC_PAYLOAD_106},
    {OLDEST, SIGNATURE, "scr.xp3.sig", NULL, 0, 0, PAYLOAD_SCR_XP3_SIG, CRC_PAYLOAD_107},
    {OLDEST, SIGNATURE, "data.xp3.sig", NULL, 0, 0, PAYLOAD_DATA_XP3_SIG, CRC_PAYLOAD_105},
    {OLDEST, SIGNATURE, "Wellhaven.exe.sig", NULL, 0, 0, PAYLOAD_WELLHAVEN_EXE_SIG, CRC_PAYLOAD_103},
    {OLDEST, SPLICE, "data.xp3", &kDataXp3, 0, 0, PAYLOAD_DATA_XP3, CRC_PAYLOAD_104},
    {PLAIN_LINE, WHOLE_FILE, "ext.xp3", NULL, 30928, FILE_ATTRIBUTE_NORMAL, PAYLOAD_EXT_XP3, CRC_PAYLOAD_108},
    {PLAIN_LINE, WHOLE_FILE, "ext.xp3.sig", NULL, 212, FILE_ATTRIBUTE_HIDDEN, PAYLOAD_EXT_XP3_SIG, CRC_PAYLOAD_109},
    {A_LINE, WHOLE_FILE, "ext.xp3", NULL, 59697, FILE_ATTRIBUTE_NORMAL, PAYLOAD_EXT_XP3_A, CRC_PAYLOAD_110},
    {A_LINE, WHOLE_FILE, "ext.xp3.sig", NULL, 212, FILE_ATTRIBUTE_HIDDEN, PAYLOAD_EXT_XP3_SIG_A, CRC_PAYLOAD_111},
    {ALL_OLD, SIGNATURE, "auxtrans.dll.sig", NULL, 0, 0, PAYLOAD_AUXTRANS_DLL_SIG, CRC_PAYLOAD_113},
    {ALL_OLD, WHOLE_FILE, "auxtrans.dll", NULL, 90112, FILE_ATTRIBUTE_NORMAL, PAYLOAD_AUXTRANS_DLL, CRC_PAYLOAD_112},
};

/* A splice step runs only for ver1.00 (0) and ver1.00a (1), whose finished
 * file it expects. */
static bool RunStep(const PlanStep *step, int edition, const char *installDir, HMODULE module)
{
    if (step->kind == SPLICE)
        return SplicePatch(installDir, step->fileName, &step->splice->recipe, step->payloadId, step->payloadCrc,
                           step->splice->finishedCrc[edition], module);
    if (step->kind == SIGNATURE)
        return PlaceSignature(installDir, step->fileName, step->payloadId, step->payloadCrc, module);
    return PlaceWholeFile(installDir, step->fileName, step->length, step->attributes, step->payloadId,
                          step->payloadCrc, module);
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
        if (!RunStep(&kPlan[i], edition, installDir, module))
            return false;
    }
    MessageBoxA(NULL, "アップデートが完了しました。", "情報", MB_OK | MB_ICONINFORMATION);
    return true;
}
