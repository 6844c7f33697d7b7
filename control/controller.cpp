/*
 * The update controller: the program's own logic begins here.
 */
#include "control/control.h"

#include "discovery/discovery.h"

static const char *const kEditionCaptions[EDITION_COUNT] = {
    "現在ver1.00です", "現在ver1.00aです", "現在ver1.01です", "現在ver1.01aです",
    "現在ver1.02です", "現在ver1.02aです", "現在ver1.03です", "現在ver1.03aです",
};

extern "C" int WINAPI WinMain(HINSTANCE module, HINSTANCE previousInstance, LPSTR commandLine, int showCommand)
{
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;

    char *installDir = LocateInstallDir();
    if (installDir == NULL)
        return 0;

    int edition = IdentifyEdition(installDir);
    if (edition >= EDITION_FIRST_UP_TO_DATE) {
        MessageBoxA(NULL, "既に最新の状態にアップデートされています。", kEditionCaptions[edition],
                    MB_OK | MB_ICONINFORMATION);
    } else if (edition >= 0) {
        /* Only an explicit Yes is consent: No, a closed box or a box that
         * could not be shown all leave the installation alone. The question
         * names ver1.03 for both lines. */
        int answer = MessageBoxA(NULL, "Wellhaven ver1.03 へのアップデートを行いますか？", kEditionCaptions[edition],
                                 MB_YESNO | MB_ICONQUESTION);
        if (answer == IDYES)
            RunUpdatePlan(installDir, edition, module);
    }

    GlobalFree(installDir);
    return 0;
}
