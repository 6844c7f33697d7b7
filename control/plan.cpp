/*
 * The update plan: the fixed sequence of file operations that brings each
 * older edition up to ver1.03 (plain line) or ver1.03a (a-line).
 */
#include "control/control.h"

#include "common/report.h"
#include "discovery/discovery.h"
#include "release_catalogue.h"
#include "release_crcs.h"
#include "replace/replace.h"

/* data.xp3 and scr.xp3 of ver1.00 and ver1.00a, rebuilt from the installed
 * copies by the release catalogue's recipes. The rebuilt data.xp3 has the
 * size every later edition's has. Each line keeps runs of its own, so the
 * finished files differ: their CRC-32s, like the payloads', come from the
 * release the build was given. */
struct Splice {
    SpliceRecipe recipe;
    DWORD finishedCrcPlain; /* ver1.00's */
    DWORD finishedCrcA;     /* ver1.00a's */
};
static const Splice kDataXp3 = {RECIPE_DATA_XP3, CRC_FINISHED_DATA_XP3_0, CRC_FINISHED_DATA_XP3_1};
static const Splice kScrXp3 = {RECIPE_SCR_XP3, CRC_FINISHED_SCR_XP3_0, CRC_FINISHED_SCR_XP3_1};

/* Which editions take a step, one bit per edition. */
enum {
    OLDEST = 1 << VER1_00 | 1 << VER1_00A,
    PLAIN_LINE = 1 << VER1_00 | 1 << VER1_01 | 1 << VER1_02,
    A_LINE = 1 << VER1_00A | 1 << VER1_01A | 1 << VER1_02A,
    ALL_OLD = PLAIN_LINE | A_LINE
};

enum StepKind { SPLICE, SIGNATURE, WHOLE_FILE };

struct PlanStep {
    unsigned editions;
    StepKind kind;
    const char *fileName;
    WORD payloadId;
    DWORD payloadCrc;
    const Splice *splice; /* a splice's */
    DWORD length;         /* a whole file's: the payload's size */
    DWORD attributes;     /* a whole file's */
};

/* The three kinds of step, each with what it needs. */
static constexpr PlanStep SpliceStep(unsigned editions, const char *fileName, const Splice *splice, WORD payloadId,
                                     DWORD payloadCrc)
{
    return {editions, SPLICE, fileName, payloadId, payloadCrc, splice, 0, 0};
}
static constexpr PlanStep SignatureStep(unsigned editions, const char *fileName, WORD payloadId, DWORD payloadCrc)
{
    return {editions, SIGNATURE, fileName, payloadId, payloadCrc, NULL, 0, 0};
}
static constexpr PlanStep WholeFileStep(unsigned editions, const char *fileName, DWORD length, DWORD attributes,
                                        WORD payloadId, DWORD payloadCrc)
{
    return {editions, WHOLE_FILE, fileName, payloadId, payloadCrc, NULL, length, attributes};
}

/* The steps in the order they run. In each stage the file whose size tells
 * identification that the stage is done is written last: data.xp3 for
 * ver1.00 and ver1.00a, auxtrans.dll for every edition. A run stopped
 * anywhere before it is identified as the same edition again (or, after the
 * plain line's ext.xp3, as ver1.02) and does the stage again; a scr.xp3
 * spliced already has its finished size and CRC-32 and is skipped.
 * ext.xp3.sig belongs to the ext.xp3 stage, whose failures show the
 * whole-file codes (E50x), so it is placed as a hidden whole file rather
 * than as a signature. Computed by the compiler: no code runs before
 * WinMain to fill it. */
static constexpr PlanStep kPlan[] = {
    SpliceStep(OLDEST, "scr.xp3", &kScrXp3, PAYLOAD_SCR_XP3, CRC_PAYLOAD_106),
    SignatureStep(OLDEST, "scr.xp3.sig", PAYLOAD_SCR_XP3_SIG, CRC_PAYLOAD_107),
    SignatureStep(OLDEST, "data.xp3.sig", PAYLOAD_DATA_XP3_SIG, CRC_PAYLOAD_105),
    SignatureStep(OLDEST, "Wellhaven.exe.sig", PAYLOAD_WELLHAVEN_EXE_SIG, CRC_PAYLOAD_103),
    SpliceStep(OLDEST, "data.xp3", &kDataXp3, PAYLOAD_DATA_XP3, CRC_PAYLOAD_104),
    WholeFileStep(PLAIN_LINE, "ext.xp3", PAYLOAD_EXT_XP3_SIZE, FILE_ATTRIBUTE_NORMAL, PAYLOAD_EXT_XP3, CRC_PAYLOAD_108),
    WholeFileStep(PLAIN_LINE, "ext.xp3.sig", PAYLOAD_EXT_XP3_SIG_SIZE, FILE_ATTRIBUTE_HIDDEN, PAYLOAD_EXT_XP3_SIG,
                  CRC_PAYLOAD_109),
    WholeFileStep(A_LINE, "ext.xp3", PAYLOAD_EXT_XP3_A_SIZE, FILE_ATTRIBUTE_NORMAL, PAYLOAD_EXT_XP3_A, CRC_PAYLOAD_110),
    WholeFileStep(A_LINE, "ext.xp3.sig", PAYLOAD_EXT_XP3_SIG_A_SIZE, FILE_ATTRIBUTE_HIDDEN, PAYLOAD_EXT_XP3_SIG_A,
                  CRC_PAYLOAD_111),
    SignatureStep(ALL_OLD, "auxtrans.dll.sig", PAYLOAD_AUXTRANS_DLL_SIG, CRC_PAYLOAD_113),
    WholeFileStep(ALL_OLD, "auxtrans.dll", PAYLOAD_AUXTRANS_DLL_SIZE, FILE_ATTRIBUTE_NORMAL, PAYLOAD_AUXTRANS_DLL,
                  CRC_PAYLOAD_112),
};

/* A splice step runs only for ver1.00 and ver1.00a, whose finished file it
 * expects. */
static bool RunStep(const PlanStep *step, int edition, const char *installDir, HMODULE module)
{
    if (step->kind == SPLICE) {
        DWORD finishedCrc = edition == VER1_00 ? step->splice->finishedCrcPlain : step->splice->finishedCrcA;
        return SplicePatch(installDir, step->fileName, &step->splice->recipe, step->payloadId, step->payloadCrc,
                           finishedCrc, module);
    }
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
    ShowBox(kTextCompleted, kCaptionInformation, MB_OK | MB_ICONINFORMATION);
    return true;
}
