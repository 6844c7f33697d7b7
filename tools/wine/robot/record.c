/* One box: read, written down as one line of the record, and answered. */
#include "robot.h"

#include <string.h>

/* A box that opens as the first window of a process becomes the foreground
 * window under Wine without a window manager, yet its frame may stay painted
 * as inactive. On Windows the player sees it active: have it repaint its
 * frame so (for the pictures; nothing else depends on it). */
static void paintActive(HWND box)
{
    SendMessageTimeoutA(box, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, NULL);
}

static void writeHex(const char *label, const WCHAR *text)
{
    fprintf(logFile, " %s=", label);
    for (; *text; ++text) fprintf(logFile, "%02x%02x", *text & 0xFF, *text >> 8);
}

/* Records one box, answers it and returns the id of the button pressed (0 for
 * Escape), or -1 when it has no button to press or the answer was not sent. */
int handleBox(HWND box, const struct Options *o, int number)
{
    struct BoxInfo b;
    WCHAR caption[1024], text[4096];
    HWND textControl;
    const char *icon = "unknown";
    int pressed, i, tries, yesNo;

    /* A busy machine may take a while to paint the icon. Once it shows, the box has been shown and activated,
     * and its default button is the one the player sees. */
    readControls(box, &b);
    for (tries = 0; tries < 100; ++tries) {
        icon = recogniseIcon(b.icon);
        if (strcmp(icon, "unknown") != 0) break;
        Sleep(100);
    }
    /* A box to be pictured, or one without an icon to wait for, is let settle and finish painting. */
    if (o->shots || strcmp(icon, "none") == 0) {
        Sleep(100);
        paintActive(box);
        Sleep(100);
    }
    readControls(box, &b);
    caption[0] = text[0] = '\0';
    GetWindowTextW(box, caption, sizeof caption / sizeof caption[0]);
    textControl = GetDlgItem(box, 0xFFFF);
    if (textControl) GetWindowTextW(textControl, text, sizeof text / sizeof text[0]);
    if (o->shots) saveScreenshot(box, o->shots, number);

    fprintf(logFile, "box");
    writeHex("caption", caption);
    writeHex("text", text);
    fprintf(logFile, " buttons=");
    for (i = 0; i < b.buttonCount; ++i) fprintf(logFile, "%s%d", i ? "," : "", b.buttons[i].id);
    fprintf(logFile, " default=%d icon=%s", b.defaultId, icon);

    yesNo = findButton(&b, IDYES) >= 0 && findButton(&b, IDNO) >= 0;
    if (yesNo && strcmp(o->answer, "escape") == 0) {
        /* The key goes to the focused control, where the dialog's own loop turns it into a command. */
        int k = findButton(&b, b.defaultId);
        HWND focus = b.buttons[k >= 0 ? k : 0].window;
        pressed = PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001) ? 0 : -1;
        /* The key press may already have closed the box: the release is sent for form's sake only. */
        PostMessageA(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else {
        int k = findButton(&b, !yesNo ? IDOK : strcmp(o->answer, "no") == 0 ? IDNO : IDYES);
        if (k < 0) k = findButton(&b, b.defaultId);
        if (k < 0 && b.buttonCount > 0) k = 0;
        pressed = k >= 0 && PostMessageA(b.buttons[k].window, BM_CLICK, 0, 0) ? b.buttons[k].id : -1;
    }
    fprintf(logFile, " pressed=%d\n", pressed);
    fflush(logFile);
    return pressed;
}
