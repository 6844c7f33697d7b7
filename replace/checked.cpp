/*
 * The checked file calls every operation shares: each read and write has
 * its two checks (the call failed; it moved fewer bytes than asked), each
 * with the code of the operation that made it.
 */
#include "replace/replace.h"

void CloseFile(HANDLE *file)
{
    if (*file != INVALID_HANDLE_VALUE)
        CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
}

/* The two checks of a read or a write: the call failed; it moved fewer
 * bytes than asked. */
static bool Moved(BOOL done, DWORD moved, DWORD count, int failedCode, int shortCode)
{
    if (!done) {
        ReportFailure(failedCode, kTextNoPatchFile);
        return false;
    }
    if (moved != count) {
        ReportFailure(shortCode, kTextNoPatchFile);
        return false;
    }
    return true;
}

bool ReadChecked(HANDLE file, BYTE *buffer, DWORD count, const ReadCodes *codes)
{
    DWORD read = 0;
    BOOL done = ReadFile(file, buffer, count, &read, NULL);
    return Moved(done, read, count, codes->failed, codes->shortRead);
}

bool WriteChecked(HANDLE file, const void *bytes, DWORD count, const WriteCodes *codes)
{
    DWORD written = 0;
    BOOL done = WriteFile(file, bytes, count, &written, NULL);
    return Moved(done, written, count, codes->failed, codes->shortWrite);
}

bool SeekChecked(HANDLE file, DWORD distance, DWORD method, int failedCode)
{
    if (SetFilePointer(file, (LONG)distance, NULL, method) == INVALID_SET_FILE_POINTER) {
        ReportFailure(failedCode, kTextNoPatchFile);
        return false;
    }
    return true;
}

bool ReadCrc(HANDLE file, DWORD length, BYTE *buffer, DWORD bufferSize, const ReadCodes *codes, DWORD *crc)
{
    *crc = 0;
    while (length > 0) {
        DWORD count = length < bufferSize ? length : bufferSize;
        if (!ReadChecked(file, buffer, count, codes))
            return false;
        *crc = Crc32(*crc, buffer, count);
        length -= count;
    }
    return true;
}
