/* Finding the started process's boxes (robot.c says what counts as one), and
 * the controls of a box. */
#include "robot.h"

#include <string.h>

struct FindState {
    DWORD processId;
    const HWND *seen;
    int seenCount;
    HWND found;
};

static int alreadySeen(const struct FindState *s, HWND w)
{
    int i;
    for (i = 0; i < s->seenCount; ++i)
        if (s->seen[i] == w) return 1;
    return 0;
}

static BOOL CALLBACK findBox(HWND w, LPARAM param)
{
    struct FindState *s = (struct FindState *)param;
    DWORD pid = 0;
    char cls[64];
    GetWindowThreadProcessId(w, &pid);
    if (pid != s->processId || !IsWindowVisible(w) || alreadySeen(s, w)) return TRUE;
    if (!GetClassNameA(w, cls, sizeof cls) || strcmp(cls, "#32770") != 0) return TRUE;
    s->found = w;
    return FALSE;
}

/* A box of the process that is none of the seen ones, or NULL. */
HWND findNewBox(DWORD processId, const HWND *seen, int seenCount)
{
    struct FindState s;
    memset(&s, 0, sizeof s);
    s.processId = processId;
    s.seen = seen;
    s.seenCount = seenCount;
    EnumWindows(findBox, (LPARAM)&s);
    return s.found;
}

static BOOL CALLBACK collectChild(HWND w, LPARAM param)
{
    struct BoxInfo *b = (struct BoxInfo *)param;
    char cls[64];
    LONG style = GetWindowLongA(w, GWL_STYLE);
    if (!GetClassNameA(w, cls, sizeof cls)) return TRUE;
    if (_stricmp(cls, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
        if (IsWindowVisible(w)) b->icon = w;
    } else if (_stricmp(cls, "Button") == 0 && IsWindowVisible(w) && b->buttonCount < MAX_BUTTONS) {
        RECT r;
        struct Button *button = &b->buttons[b->buttonCount++];
        GetWindowRect(w, &r);
        button->window = w;
        button->id = GetDlgCtrlID(w);
        button->x = r.left;
        if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) b->defaultId = button->id;
    }
    return TRUE;
}

/* The box's icon control and its visible push buttons, from left to right, and the default one. */
void readControls(HWND box, struct BoxInfo *b)
{
    int i, j;
    memset(b, 0, sizeof *b);
    EnumChildWindows(box, collectChild, (LPARAM)b);
    for (i = 1; i < b->buttonCount; ++i)
        for (j = i; j > 0 && b->buttons[j - 1].x > b->buttons[j].x; --j) {
            struct Button t = b->buttons[j];
            b->buttons[j] = b->buttons[j - 1];
            b->buttons[j - 1] = t;
        }
}

/* The index of the button with this id, or -1. */
int findButton(const struct BoxInfo *b, int id)
{
    int i;
    for (i = 0; i < b->buttonCount; ++i)
        if (b->buttons[i].id == id) return i;
    return -1;
}
