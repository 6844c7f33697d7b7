/*
 * The box robot: starts a program, answers every message box it shows and
 * writes down what each box looked like, until the program exits.
 *
 *   boxrobot.exe [options] -- PROGRAM [ARGUMENTS...]
 *
 *   --log FILE        write the record to FILE (default: standard output)
 *   --answer WHAT     how to answer a box with Yes and No buttons:
 *                     yes | no (click the button), escape (press Escape)
 *   --shots DIR       save a picture of each box as DIR\box<N>.bmp
 *   --hold FILE:MODE  before starting the program, open FILE for reading and
 *                     keep it open until the program has ended; MODE is the
 *                     sharing granted to others: none | read | delete (read
 *                     and delete: a deleted name stays until the robot lets go)
 *   --until FILE=REFERENCE
 *                     let go of the held file once FILE holds the bytes of
 *                     REFERENCE, and another 300 ms have passed
 *   --timeout SEC     give up (and end the program) after SEC seconds without
 *                     a new box or the program's exit (default 20)
 *
 * A box is a visible top-level window of class #32770 that belongs to the
 * started process. For each box the record holds one line:
 *
 *   box caption=<hex> text=<hex> buttons=<ids> default=<id> icon=<name> pressed=<id>
 *
 * caption and text are the window texts as the player reads them, in UTF-16
 * (little-endian bytes in hex, empty when there is none), buttons the ids of the visible push buttons from
 * left to right, default the id of the one with BS_DEFPUSHBUTTON (0 if none),
 * icon the system icon shown: error (IDI_HAND), question (IDI_QUESTION),
 * warning (IDI_EXCLAMATION), information (IDI_ASTERISK), none, or unknown when
 * the pixels on screen match none of the four. The last line is
 *
 *   exit <code>       the program's exit code
 *   timeout           the program was ended after the timeout
 *   unanswered        the last box had no button to press, or the answer
 *                     could not be sent; the program was ended
 *
 * The robot's own exit status is 0 after "exit", 3 after a timeout, 4 after
 * "unanswered" and 2 for a usage or start-up problem (explained on standard
 * error).
 *
 * Other processes' icon handles cannot be read, so the icon is recognised by
 * its pixels: the robot captures the icon control from the screen and draws
 * each of the four system icons itself on the same background; the exact
 * match names it.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_BOXES 64
#define MAX_BUTTONS 8
/* How long the held file stays open after the --until condition is met. */
#define UNTIL_GRACE_MS 300

struct Options {
    const char *log;
    const char *answer;
    const char *shots;
    const char *hold;
    const char *until;
    int timeoutSeconds;
    char commandLine[4096];
};

struct BoxInfo {
    HWND buttons[MAX_BUTTONS];
    int buttonIds[MAX_BUTTONS];
    int buttonX[MAX_BUTTONS];
    int buttonCount;
    HWND icon;
};

static FILE *logFile;

static void fail(const char *message, const char *detail)
{
    fprintf(stderr, "boxrobot: %s%s%s (error %lu)\n", message, detail ? ": " : "", detail ? detail : "",
            (unsigned long)GetLastError());
    exit(2);
}

/* Appends one argument to a command line, quoted the way the C runtime splits it. */
static void appendArgument(char *line, size_t size, const char *arg)
{
    size_t n = strlen(line);
    const char *p;
    int needQuotes = (*arg == '\0') || strpbrk(arg, " \t\"") != NULL;
    if (n > 0 && n + 1 < size) line[n++] = ' ';
    if (needQuotes && n + 1 < size) line[n++] = '"';
    for (p = arg; *p && n + 2 < size; ++p) {
        if (*p == '"') line[n++] = '\\';
        line[n++] = *p;
    }
    if (needQuotes && n + 1 < size) line[n++] = '"';
    line[n] = '\0';
}

static void parseOptions(int argc, char **argv, struct Options *o)
{
    int i;
    memset(o, 0, sizeof *o);
    o->answer = "yes";
    o->timeoutSeconds = 20;
    for (i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (strcmp(a, "--") == 0) {
            ++i;
            break;
        }
        if (i + 1 >= argc) fail("option without a value", a);
        if (strcmp(a, "--log") == 0) o->log = argv[++i];
        else if (strcmp(a, "--answer") == 0) o->answer = argv[++i];
        else if (strcmp(a, "--shots") == 0) o->shots = argv[++i];
        else if (strcmp(a, "--hold") == 0) o->hold = argv[++i];
        else if (strcmp(a, "--until") == 0) o->until = argv[++i];
        else if (strcmp(a, "--timeout") == 0) o->timeoutSeconds = atoi(argv[++i]);
        else fail("unknown option", a);
    }
    if (i >= argc) fail("no program given", NULL);
    if (o->until && (!o->hold || !strchr(o->until, '=') || strchr(o->until, '=') != strrchr(o->until, '=')))
        fail("--until takes FILE=REFERENCE, with --hold", o->until);
    if (strcmp(o->answer, "yes") && strcmp(o->answer, "no") && strcmp(o->answer, "escape"))
        fail("--answer takes yes, no or escape", o->answer);
    for (; i < argc; ++i) appendArgument(o->commandLine, sizeof o->commandLine, argv[i]);
}

static HANDLE holdFile(const char *argument)
{
    char path[MAX_PATH + 16];
    char *colon;
    DWORD share;
    HANDLE h;
    if (strlen(argument) >= sizeof path) fail("--hold path too long", argument);
    strcpy(path, argument);
    colon = strrchr(path, ':');
    if (!colon || colon == path + 1) fail("--hold takes FILE:none, FILE:read or FILE:delete", argument);
    *colon = '\0';
    if (strcmp(colon + 1, "none") == 0) share = 0;
    else if (strcmp(colon + 1, "read") == 0) share = FILE_SHARE_READ;
    else if (strcmp(colon + 1, "delete") == 0) share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    else fail("--hold takes FILE:none, FILE:read or FILE:delete", argument);
    h = CreateFileA(path, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) fail("cannot hold the file", path);
    return h;
}

/* The whole content of a file (caller frees) and its size; NULL when it cannot be read. Every sharing is
 * granted, so the look stops no writer; a rename over the file in that moment is refused, and the
 * updater tries it again. */
static char *readWhole(const char *path, DWORD *size)
{
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    char *bytes = NULL;
    DWORD got = 0;
    if (h == INVALID_HANDLE_VALUE) return NULL;
    *size = GetFileSize(h, NULL);
    if (*size != INVALID_FILE_SIZE) bytes = (char *)malloc(*size + 1);
    if (bytes && (!ReadFile(h, bytes, *size, &got, NULL) || got != *size)) {
        free(bytes);
        bytes = NULL;
    }
    CloseHandle(h);
    return bytes;
}

/* Whether FILE of "FILE=REFERENCE" holds the bytes of REFERENCE now. */
static int untilReached(const char *until)
{
    char file[MAX_PATH + 1];
    const char *reference = strchr(until, '=') + 1;
    DWORD fileSize = 0, referenceSize = 0;
    char *a, *b;
    int same;
    if ((size_t)(reference - until) > sizeof file) fail("--until path too long", until);
    memcpy(file, until, (size_t)(reference - until - 1));
    file[reference - until - 1] = '\0';
    a = readWhole(file, &fileSize);
    b = readWhole(reference, &referenceSize);
    if (!b) fail("cannot read the reference", reference);
    same = a && fileSize == referenceSize && memcmp(a, b, fileSize) == 0;
    free(a);
    free(b);
    return same;
}

/* ---- finding the boxes ---- */

struct FindState {
    DWORD processId;
    HWND *seen;
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
        int i = b->buttonCount++;
        GetWindowRect(w, &r);
        b->buttons[i] = w;
        b->buttonIds[i] = GetDlgCtrlID(w);
        b->buttonX[i] = r.left;
    }
    return TRUE;
}

static void sortButtonsLeftToRight(struct BoxInfo *b)
{
    int i, j;
    for (i = 1; i < b->buttonCount; ++i)
        for (j = i; j > 0 && b->buttonX[j - 1] > b->buttonX[j]; --j) {
            HWND tw = b->buttons[j];
            int tid = b->buttonIds[j], tx = b->buttonX[j];
            b->buttons[j] = b->buttons[j - 1];
            b->buttonIds[j] = b->buttonIds[j - 1];
            b->buttonX[j] = b->buttonX[j - 1];
            b->buttons[j - 1] = tw;
            b->buttonIds[j - 1] = tid;
            b->buttonX[j - 1] = tx;
        }
}

/* ---- pixels ---- */

/* A top-down 32-bit DIB section of w x h pixels. */
static HBITMAP newDib(HDC screen, int w, int h, DWORD **pixels)
{
    BITMAPINFO bi;
    memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(screen, &bi, DIB_RGB_COLORS, (void **)pixels, NULL, 0);
}

/* Top-down 32-bit pixels (colour only, caller frees) of w x h: either the
 * screen at (x, y), or, when icon is given, that icon drawn on a background
 * of one colour. */
static DWORD *renderPixels(int w, int h, int x, int y, HICON icon, DWORD background)
{
    DWORD *pixels = NULL, *copy = NULL;
    HDC screen, mem;
    HBITMAP bmp, old;
    int i;
    if (w <= 0 || h <= 0) return NULL;
    screen = GetDC(NULL);
    mem = CreateCompatibleDC(screen);
    bmp = newDib(screen, w, h, &pixels);
    if (bmp) {
        old = (HBITMAP)SelectObject(mem, bmp);
        if (icon) {
            for (i = 0; i < w * h; ++i) pixels[i] = background;
            DrawIconEx(mem, 0, 0, icon, w, h, 0, NULL, DI_NORMAL);
        } else {
            BitBlt(mem, 0, 0, w, h, screen, x, y, SRCCOPY);
        }
        GdiFlush();
        copy = (DWORD *)malloc((size_t)w * h * 4);
        if (copy)
            for (i = 0; i < w * h; ++i) copy[i] = pixels[i] & 0x00FFFFFF;
        SelectObject(mem, old);
        DeleteObject(bmp);
    }
    DeleteDC(mem);
    ReleaseDC(NULL, screen);
    return copy;
}

/* Copies a rectangle of the screen into a top-down 32-bit pixel array (caller frees). */
static DWORD *captureScreen(const RECT *r)
{
    return renderPixels(r->right - r->left, r->bottom - r->top, r->left, r->top, NULL, 0);
}

/* Draws a system icon at w x h on a background of one colour; top-down 32-bit pixels (caller frees). */
static DWORD *drawSystemIcon(LPCSTR which, int w, int h, DWORD background)
{
    HICON icon = LoadIconA(NULL, which);
    return icon ? renderPixels(w, h, 0, 0, icon, background) : NULL;
}

/* Names the system icon shown by the icon control, or "unknown" when none matches exactly. */
static const char *recogniseIcon(HWND iconControl)
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
        DWORD *drawn = drawSystemIcon(icons[k].id, w, h, screen[0]);
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

static void saveScreenshot(HWND box, const char *dir, int number)
{
    char path[MAX_PATH];
    RECT r;
    DWORD *pixels;
    int w, h, y;
    FILE *f;
    BITMAPFILEHEADER fh;
    BITMAPINFOHEADER ih;
    GetWindowRect(box, &r);
    w = r.right - r.left;
    h = r.bottom - r.top;
    pixels = captureScreen(&r);
    if (!pixels) return;
    snprintf(path, sizeof path, "%s\\box%d.bmp", dir, number);
    f = fopen(path, "wb");
    if (!f) {
        free(pixels);
        fail("cannot write the screenshot", path);
    }
    memset(&fh, 0, sizeof fh);
    memset(&ih, 0, sizeof ih);
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + (DWORD)w * h * 4;
    ih.biSize = sizeof ih;
    ih.biWidth = w;
    ih.biHeight = h; /* bottom-up rows */
    ih.biPlanes = 1;
    ih.biBitCount = 32;
    ih.biCompression = BI_RGB;
    fwrite(&fh, sizeof fh, 1, f);
    fwrite(&ih, sizeof ih, 1, f);
    for (y = h - 1; y >= 0; --y) fwrite(pixels + (size_t)y * w, 4, (size_t)w, f);
    fclose(f);
    free(pixels);
}

/* A box that opens as the first window of a process becomes the foreground
 * window under Wine without a window manager, yet its frame may stay painted
 * as inactive. On Windows the player sees it active: have it repaint its
 * frame so (for the pictures; nothing else depends on it). */
static void paintActive(HWND box)
{
    SendMessageTimeoutA(box, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, NULL);
}

/* ---- the record ---- */

static void writeHex(const char *label, const WCHAR *text)
{
    fprintf(logFile, " %s=", label);
    for (; *text; ++text) fprintf(logFile, "%02x%02x", *text & 0xFF, *text >> 8);
}

static int findButton(const struct BoxInfo *b, int id)
{
    int i;
    for (i = 0; i < b->buttonCount; ++i)
        if (b->buttonIds[i] == id) return i;
    return -1;
}

/* Records one box, answers it and returns the id of the button pressed (0 for
 * Escape), or -1 when it has no button to press or the answer was not sent. */
static int handleBox(HWND box, const struct Options *o, int number)
{
    struct BoxInfo b;
    WCHAR caption[1024], text[4096];
    HWND textControl;
    const char *icon = "unknown";
    int defaultId = 0, pressed, i, tries;

    memset(&b, 0, sizeof b);
    /* Let the box settle and finish painting before its pixels are read. */
    Sleep(100);
    paintActive(box);
    Sleep(100);
    EnumChildWindows(box, collectChild, (LPARAM)&b);
    sortButtonsLeftToRight(&b);
    caption[0] = text[0] = '\0';
    GetWindowTextW(box, caption, sizeof caption / sizeof caption[0]);
    textControl = GetDlgItem(box, 0xFFFF);
    if (textControl) GetWindowTextW(textControl, text, sizeof text / sizeof text[0]);
    for (i = 0; i < b.buttonCount; ++i)
        if ((GetWindowLongA(b.buttons[i], GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) defaultId = b.buttonIds[i];
    /* A busy machine may take a while to paint the icon. */
    for (tries = 0; tries < 100; ++tries) {
        icon = recogniseIcon(b.icon);
        if (strcmp(icon, "unknown") != 0) break;
        Sleep(100);
    }
    if (o->shots) saveScreenshot(box, o->shots, number);

    fprintf(logFile, "box");
    writeHex("caption", caption);
    writeHex("text", text);
    fprintf(logFile, " buttons=");
    for (i = 0; i < b.buttonCount; ++i) fprintf(logFile, "%s%d", i ? "," : "", b.buttonIds[i]);
    fprintf(logFile, " default=%d icon=%s", defaultId, icon);

    if (findButton(&b, IDYES) >= 0 && findButton(&b, IDNO) >= 0 && strcmp(o->answer, "escape") == 0) {
        /* The key goes to the focused control, where the dialog's own loop turns it into a command. */
        HWND focus = b.buttons[findButton(&b, defaultId) >= 0 ? findButton(&b, defaultId) : 0];
        pressed = PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001) ? 0 : -1;
        /* The key press may already have closed the box: the release is sent for form's sake only. */
        PostMessageA(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else {
        int want = IDOK;
        int k;
        if (findButton(&b, IDYES) >= 0 && findButton(&b, IDNO) >= 0) want = strcmp(o->answer, "no") == 0 ? IDNO : IDYES;
        k = findButton(&b, want);
        if (k < 0) k = findButton(&b, defaultId);
        if (k < 0 && b.buttonCount > 0) k = 0;
        pressed = k >= 0 && PostMessageA(b.buttons[k], BM_CLICK, 0, 0) ? b.buttonIds[k] : -1;
    }
    fprintf(logFile, " pressed=%d\n", pressed);
    fflush(logFile);
    return pressed;
}

static void finish(int status)
{
    if (logFile != stdout) fclose(logFile);
    exit(status);
}

int main(int argc, char **argv)
{
    struct Options o;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    HANDLE held = INVALID_HANDLE_VALUE;
    HWND seen[MAX_BOXES];
    int seenCount = 0;
    DWORD code = 0, limit, lastProgress, reachedAt = 0;
    int reached = 0;

    parseOptions(argc, argv, &o);
    limit = (DWORD)o.timeoutSeconds * 1000u;
    logFile = stdout;
    if (o.log) {
        logFile = fopen(o.log, "w");
        if (!logFile) fail("cannot write the log", o.log);
    }
    if (o.hold) held = holdFile(o.hold);

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    memset(&pi, 0, sizeof pi);
    if (!CreateProcessA(NULL, o.commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        fail("cannot start the program", o.commandLine);
    CloseHandle(pi.hThread);

    lastProgress = GetTickCount();
    while (WaitForSingleObject(pi.hProcess, 30) != WAIT_OBJECT_0) {
        struct FindState s;
        if (held != INVALID_HANDLE_VALUE && o.until) {
            if (!reached && untilReached(o.until)) {
                reached = 1;
                reachedAt = GetTickCount();
            }
            if (reached && GetTickCount() - reachedAt >= UNTIL_GRACE_MS) {
                CloseHandle(held);
                held = INVALID_HANDLE_VALUE;
            }
        }
        memset(&s, 0, sizeof s);
        s.processId = pi.dwProcessId;
        s.seen = seen;
        s.seenCount = seenCount;
        EnumWindows(findBox, (LPARAM)&s);
        if (s.found) {
            if (seenCount == MAX_BOXES) fail("too many boxes", NULL);
            seen[seenCount++] = s.found;
            if (handleBox(s.found, &o, seenCount) < 0) {
                /* Left alone, the box would hold the program until the timeout: end it now and say why. */
                TerminateProcess(pi.hProcess, 259);
                WaitForSingleObject(pi.hProcess, 5000);
                fprintf(logFile, "unanswered\n");
                finish(4);
            }
            lastProgress = GetTickCount();
            /* The next box is looked for once this one has gone. */
            while (IsWindow(s.found) && IsWindowVisible(s.found) && GetTickCount() - lastProgress < limit)
                if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) break;
            lastProgress = GetTickCount();
        }
        if (GetTickCount() - lastProgress > limit) {
            TerminateProcess(pi.hProcess, 259);
            WaitForSingleObject(pi.hProcess, 5000);
            fprintf(logFile, "timeout\n");
            finish(3);
        }
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    fprintf(logFile, "exit %lu\n", (unsigned long)code);
    finish(0);
    return 0;
}
