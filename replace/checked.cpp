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

bool ReadChecked(HANDLE file, BYTE *buffer, DWORD count, const ReadCodes *codes)
{
    DWORD read = 0;
    if (!ReadFile(file, buffer, count, &read, NULL)) {
        ReportFailure(codes->failed, kTextNoPatchFile);
        return false;
    }
    if (read != count) {
        ReportFailure(codes->shortRead, kTextNoPatchFile);
        return false;
    }
    return true;
}

bool WriteChecked(HANDLE file, const void *bytes, DWORD count, const WriteCodes *codes)
{
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, NULL)) {
        ReportFailure(codes->failed, kTextNoPatchFile);
        return false;
    }
    if (written != count) {
        ReportFailure(codes->shortWrite, kTextNoPatchFile);
        return false;
    }
    return true;
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
