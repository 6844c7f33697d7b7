/*
 * The simulated user: message boxes recorded as the player reads them and
 * answered from a script, and the conversion of their texts to UTF-16.
 */
#include <errno.h>
#include <iconv.h>
#include <string.h>

#include "platform/sim/sim_state.h"

namespace sim {

const std::vector<Box> &Boxes()
{
    return S().boxes;
}

void Answer(int result)
{
    S().answers.push_back(result);
}

void SetAnsiCodePage(UINT codePage)
{
    if (codePage != 932 && codePage != 1252)
        Misuse("an ANSI code page the simulation does not know: " + std::to_string(codePage));
    S().ansiCodePage = codePage;
}

} // namespace sim

using namespace sim;

namespace {

/* Converts with glibc's iconv; false when the bytes are not text of from.
 * With undefinedAsC1 (into UTF-16LE), a byte that from leaves undefined
 * becomes the unit of its value, a C1 control. */
bool Convert(const char *from, const char *to, const std::string &in, std::string *out, bool undefinedAsC1 = false)
{
    /* A converter is opened once for the process (a sweep shows thousands
     * of boxes) and set back to its initial state for each text. */
    static struct Converters : std::map<std::pair<std::string, std::string>, iconv_t> {
        ~Converters()
        {
            for (auto &c : *this)
                if (c.second != (iconv_t)-1)
                    iconv_close(c.second);
        }
    } opened;
    iconv_t &cd = opened.emplace(std::make_pair(from, to), (iconv_t)-1).first->second;
    if (cd == (iconv_t)-1)
        cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) {
        Misuse(std::string("no converter from ") + from + " to " + to);
        return false;
    }
    iconv(cd, NULL, NULL, NULL, NULL);
    std::string source = in;
    out->assign(source.size() * 4 + 4, '\0');
    char *inp = &source[0], *outp = &(*out)[0];
    size_t inLeft = source.size(), outLeft = out->size();
    size_t result;
    while ((result = iconv(cd, &inp, &inLeft, &outp, &outLeft)) == (size_t)-1 && undefinedAsC1 && errno == EILSEQ) {
        *outp++ = *inp++;
        *outp++ = '\0';
        inLeft--;
        outLeft -= 2;
    }
    out->resize(out->size() - outLeft);
    return result != (size_t)-1;
}

/* Bytes of a code page in UTF-16 (little-endian bytes, as on x86); false
 * when they are not text of it. Code page 932 is glibc's CP932, whose table
 * is Windows' (its SHIFT_JIS differs in a few characters). In 1252 the five
 * bytes the code page leaves undefined stand for the C1 controls of the
 * same value, as Windows converts them. */
bool Utf16(UINT codePage, const std::string &bytes, std::string *utf16)
{
    return Convert(codePage == 932 ? "CP932" : "CP1252", "UTF-16LE", bytes, utf16, codePage == 1252);
}

/* What the player reads, recorded in UTF-8. */
std::string Readable(const std::string &utf16)
{
    std::string utf8;
    if (!Convert("UTF-16LE", "UTF-8", utf16, &utf8))
        Misuse("a box text that is not UTF-16");
    return utf8;
}

std::string Utf16Of(LPCWSTR text)
{
    size_t n = 0;
    while (text[n] != 0)
        n++;
    return std::string(reinterpret_cast<const char *>(text), n * 2);
}

int Show(HWND owner, const std::string *caption, const std::string &text, UINT type)
{
    State &s = S();
    s.boxes.push_back(Box{owner, caption != nullptr, caption != nullptr ? Readable(*caption) : "", Readable(text),
                          type});
    if (!s.answers.empty()) {
        int answer = s.answers.front();
        s.answers.erase(s.answers.begin());
        return answer;
    }
    return (type & 0x0F) == MB_YESNO ? IDYES : IDOK;
}

} // namespace

/* A box that cannot be shown is not seen by anyone. */
extern "C" int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    if (Enter(OpMessageBoxW))
        return 0;
    const std::string captionUtf16 = caption != NULL ? Utf16Of(caption) : "";
    return Show(owner, caption != NULL ? &captionUtf16 : nullptr, Utf16Of(text), type);
}

/* The ANSI box reads its bytes in the system's ANSI code page: Japanese
 * texts are garbled on any other. */
extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    if (Enter(OpMessageBoxA))
        return 0;
    const UINT codePage = S().ansiCodePage;
    std::string textUtf16, captionUtf16;
    if (!Utf16(codePage, text, &textUtf16) || (caption != NULL && !Utf16(codePage, caption, &captionUtf16)))
        Misuse("a box text that is not text of the ANSI code page");
    return Show(owner, caption != NULL ? &captionUtf16 : nullptr, textUtf16, type);
}

/* As the program converts its texts: NUL-terminated, in a code page known
 * here, into a buffer of a given size; any other form is not modelled. */
extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR bytes, int length, WCHAR *wide,
                                          int wideLength)
{
    if (Enter(OpMultiByteToWideChar))
        return 0;
    if ((codePage != 932 && codePage != 1252) || flags != MB_ERR_INVALID_CHARS || bytes == NULL || length != -1 ||
        wide == NULL || wideLength <= 0) {
        Misuse("MultiByteToWideChar in a form the simulation does not model");
        return 0;
    }
    /* The count includes the NUL. */
    std::string utf16;
    if (!Utf16(codePage, std::string(bytes, strlen(bytes) + 1), &utf16)) {
        SetError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    const int units = (int)(utf16.size() / 2);
    if (units > wideLength) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(wide, utf16.data(), utf16.size());
    return units;
}
