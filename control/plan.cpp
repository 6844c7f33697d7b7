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

/* A payload's record: its resource id and size, from the catalogue, and
 * its CRC-32, from the release the build was given, which names each
 * payload's by its id. PAYLOAD(name) makes all three from the payload's
 * name alone, so they cannot belong to different payloads. */
#define CRC_OF_PAYLOAD_ID(id) CRC_PAYLOAD_##id
#define CRC_OF_PAYLOAD(id) CRC_OF_PAYLOAD_ID(id)
#define PAYLOAD(name) {PAYLOAD_##name, PAYLOAD_##name##_SIZE, CRC_OF_PAYLOAD(PAYLOAD_##name)}

struct PlanStep {
    unsigned editions;
    StepKind kind;
    const char *fileName;
    const Splice *splice; /* a splice's */
    Payload payload;
    DWORD attributes; /* a whole file's */
};

/* The three kinds of step, each with what it needs. A whole file is the
 * whole payload. */
static constexpr PlanStep SpliceStep(unsigned editions, const char *fileName, const Splice *splice, Payload payload)
{
    return {editions, SPLICE, fileName, splice, payload, 0};
}
static constexpr PlanStep SignatureStep(unsigned editions, const char *fileName, Payload payload)
{
    return {editions, SIGNATURE, fileName, NULL, payload, 0};
}
static constexpr PlanStep WholeFileStep(unsigned editions, const char *fileName, DWORD attributes, Payload payload)
{
    return {editions, WHOLE_FILE, fileName, NULL, payload, attributes};
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
    SpliceStep(OLDEST, "scr.xp3", &kScrXp3, PAYLOAD(SCR_XP3)),
    SignatureStep(OLDEST, "scr.xp3.sig", PAYLOAD(SCR_XP3_SIG)),
    SignatureStep(OLDEST, "data.xp3.sig", PAYLOAD(DATA_XP3_SIG)),
    SignatureStep(OLDEST, "Wellhaven.exe.sig", PAYLOAD(WELLHAVEN_EXE_SIG)),
    SpliceStep(OLDEST, "data.xp3", &kDataXp3, PAYLOAD(DATA_XP3)),
    WholeFileStep(PLAIN_LINE, "ext.xp3", FILE_ATTRIBUTE_NORMAL, PAYLOAD(EXT_XP3)),
    WholeFileStep(PLAIN_LINE, "ext.xp3.sig", FILE_ATTRIBUTE_HIDDEN, PAYLOAD(EXT_XP3_SIG)),
    WholeFileStep(A_LINE, "ext.xp3", FILE_ATTRIBUTE_NORMAL, PAYLOAD(EXT_XP3_A)),
    WholeFileStep(A_LINE, "ext.xp3.sig", FILE_ATTRIBUTE_HIDDEN, PAYLOAD(EXT_XP3_SIG_A)),
    SignatureStep(ALL_OLD, "auxtrans.dll.sig", PAYLOAD(AUXTRANS_DLL_SIG)),
    WholeFileStep(ALL_OLD, "auxtrans.dll", FILE_ATTRIBUTE_NORMAL, PAYLOAD(AUXTRANS_DLL)),
};

/* A splice step runs only for ver1.00 and ver1.00a, whose finished file it
 * expects. */
static bool RunStep(const PlanStep *step, int edition, const char *installDir, HMODULE module)
{
    if (step->kind == SPLICE) {
        DWORD finishedCrc = edition == VER1_00 ? step->splice->finishedCrcPlain : step->splice->finishedCrcA;
        return SplicePatch(installDir, step->fileName, &step->splice->recipe, &step->payload, finishedCrc, module);
    }
    if (step->kind == SIGNATURE)
        return PlaceSignature(installDir, step->fileName, &step->payload, module);
    return PlaceWholeFile(installDir, step->fileName, step->attributes, &step->payload, module);
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
