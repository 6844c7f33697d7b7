/* What the screen shows of a box: its system icon, recognised by its pixels
 * (another process's icon handle cannot be read), and its picture saved as a
 * bitmap file. */
#include "robot.h"

#include <stdlib.h>
#include <string.h>

/* The header of 32-bit pixels, w x h; a negative h stands for top-down rows. */
static void pixelHeader(BITMAPINFOHEADER *ih, int w, int h)
{
    memset(ih, 0, sizeof *ih);
    ih->biSize = sizeof *ih;
    ih->biWidth = w;
    ih->biHeight = h;
    ih->biPlanes = 1;
    ih->biBitCount = 32;
    ih->biCompression = BI_RGB;
}

/* Top-down 32-bit pixels (colour only, caller frees) of w x h: either the
 * screen at (x, y), or, when icon is given, that icon drawn on a background
 * of one colour. */
static DWORD *renderPixels(int w, int h, int x, int y, HICON icon, DWORD background)
{
    DWORD *pixels = NULL, *copy = NULL;
    BITMAPINFO bi = {0};
    HDC screen, mem;
    HBITMAP bmp, old;
    int i;
    if (w <= 0 || h <= 0) return NULL;
    screen = GetDC(NULL);
    mem = CreateCompatibleDC(screen);
    pixelHeader(&bi.bmiHeader, w, -h);
    bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, (void **)&pixels, NULL, 0);
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

/* Saves the box as it is on screen to DIR\box<number>.bmp. */
void saveScreenshot(HWND box, const char *dir, int number)
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
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + (DWORD)w * h * 4;
    pixelHeader(&ih, w, h); /* bottom-up rows */
    fwrite(&fh, sizeof fh, 1, f);
    fwrite(&ih, sizeof ih, 1, f);
    for (y = h - 1; y >= 0; --y) fwrite(pixels + (size_t)y * w, 4, (size_t)w, f);
    fclose(f);
    free(pixels);
}
