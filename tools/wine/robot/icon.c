/* Which system icon a box shows. Other processes' icon handles cannot be
 * read, so the icon is recognised by its pixels: the robot captures the icon
 * control from the screen and draws each of the four system icons itself on
 * the same background; the exact match names it. */
#include "robot.h"

#include <stdlib.h>

/* Names the system icon shown by the icon control, or "unknown" when none matches exactly. */
const char *recogniseIcon(HWND iconControl)
{
    static const struct {
        LPCSTR id;
        const char *name;
    } icons[] = {
        {IDI_HAND, "error"},
        {IDI_QUESTION, "question"},
        {IDI_EXCLAMATION, "warning"},
        {IDI_ASTERISK, "information"},
    };
    RECT r;
    DWORD *screen;
    int w, h, k;
    const char *result = "unknown";
    if (!iconControl) return "none";
    GetWindowRect(iconControl, &r);
    w = r.right - r.left;
    h = r.bottom - r.top;
    screen = captureScreen(&r);
    if (!screen) return "unknown";
    for (k = 0; k < (int)(sizeof icons / sizeof icons[0]); ++k) {
        /* Drawn on the colour of the captured corner. */
        HICON system = LoadIconA(NULL, icons[k].id);
        DWORD *drawn = system ? renderPixels(w, h, 0, 0, system, screen[0]) : NULL;
        int differing = 0, i;
        if (!drawn) continue;
        for (i = 0; i < w * h; ++i)
            if (drawn[i] != screen[i]) ++differing;
        free(drawn);
        if (differing == 0) {
            result = icons[k].name;
            break;
        }
    }
    free(screen);
    return result;
}
