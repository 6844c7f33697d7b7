/*
 * The Windows operations the updater uses, and nothing else.
 *
 * Every procedure of the updater reaches the operating system through the
 * names declared here, which are the Win32 names with the Win32 signatures,
 * so each step reads like the ANSI Win32 call it is.
 *
 * The texts shown to the player are code page 932 bytes, turned into UTF-16
 * for the Unicode message box, so they read the same whatever the system's
 * ANSI code page is; files and the registry stay ANSI.
 *
 * In the Windows build these declarations are the system's own functions,
 * imported from KERNEL32, ADVAPI32 and USER32 (no <windows.h>: this header is
 * the whole of the interface the program may use, and the import table of the
 * executable shows it). In the host build the same names are provided by the
 * simulated Windows in platform/sim/, which the native tests drive.
 */
#ifndef WELLHAVEN_PLATFORM_WINAPI_H
#define WELLHAVEN_PLATFORM_WINAPI_H

#include <stddef.h>
#include <stdint.h>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef char16_t WCHAR; /* a UTF-16 code unit */
typedef const WCHAR *LPCWSTR;
typedef void *HANDLE;
typedef void *HGLOBAL;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__ *HKEY;
typedef struct HRSRC__ *HRSRC;
typedef DWORD REGSAM;

#define TRUE 1
#define FALSE 0

#if defined(_WIN32)
#define WINAPI __stdcall
#define WINAPIV __cdecl
#define WINAPI_IMPORT extern "C" __declspec(dllimport)
#else
#define WINAPI
#define WINAPIV
#define WINAPI_IMPORT extern "C"
#endif

/* Files */
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFF)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

WINAPI_IMPORT HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, void *security,
                                        DWORD creation, DWORD flags, HANDLE templateFile);
WINAPI_IMPORT DWORD WINAPI GetFileSize(HANDLE file, DWORD *sizeHigh);
WINAPI_IMPORT BOOL WINAPI ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, void *overlapped);
WINAPI_IMPORT BOOL WINAPI WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                                    void *overlapped);
WINAPI_IMPORT DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method);
WINAPI_IMPORT BOOL WINAPI CloseHandle(HANDLE object);
WINAPI_IMPORT BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists);
WINAPI_IMPORT BOOL WINAPI DeleteFileA(LPCSTR fileName);
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFF)
WINAPI_IMPORT DWORD WINAPI GetFileAttributesA(LPCSTR fileName);
WINAPI_IMPORT BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD attributes);
/* Makes what was written through the handle durable. */
WINAPI_IMPORT BOOL WINAPI FlushFileBuffers(HANDLE file);
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_WRITE_THROUGH 0x00000008u
WINAPI_IMPORT BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);

/* Why the last call that failed did: a file another program holds, which
 * lets go in a moment (a virus scanner, an indexer), shows as one of these,
 * and a call refused so is worth making again after a short wait. */
#define ERROR_ACCESS_DENIED 5L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
/* A name another program holds after it was deleted stays until that
 * program lets go; Wine refuses to create a file under it with this. */
#define ERROR_FILE_EXISTS 80L
WINAPI_IMPORT DWORD WINAPI GetLastError(void);
WINAPI_IMPORT void WINAPI Sleep(DWORD milliseconds);

/* One run at a time: a mutex is released when the process that holds it
 * ends (abandoned, WAIT_ABANDONED to the next), so the program never
 * releases it itself. */
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_FAILED 0xFFFFFFFFu
WINAPI_IMPORT HANDLE WINAPI CreateMutexA(void *security, BOOL initialOwner, LPCSTR name);
WINAPI_IMPORT DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);

/* Where DLLs loaded after start-up are searched. SetDefaultDllDirectories
 * came with a loader update (2011) and is looked up, not imported, so the
 * program still starts on a system without it. */
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u
typedef BOOL(WINAPI *SetDefaultDllDirectoriesProc)(DWORD directoryFlags);
/* Any function; cast to its own type before the call. */
typedef void(WINAPI *FARPROC)(void);
WINAPI_IMPORT HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
WINAPI_IMPORT FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);

/* The temporary folder */
WINAPI_IMPORT DWORD WINAPI GetTempPathA(DWORD bufferLength, LPSTR buffer);
WINAPI_IMPORT UINT WINAPI GetTempFileNameA(LPCSTR pathName, LPCSTR prefix, UINT unique, LPSTR tempFileName);

/* The program's own resources */
#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
WINAPI_IMPORT HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
WINAPI_IMPORT DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
WINAPI_IMPORT HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
WINAPI_IMPORT void *WINAPI LockResource(HGLOBAL resourceData);
WINAPI_IMPORT BOOL WINAPI FreeResource(HGLOBAL resourceData);

/* Memory and strings */
#define GMEM_FIXED 0x0000u
WINAPI_IMPORT HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
WINAPI_IMPORT HGLOBAL WINAPI GlobalFree(HGLOBAL memory);
WINAPI_IMPORT int WINAPI lstrlenA(LPCSTR string);

/* The registry, read only */
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define ERROR_SUCCESS 0L
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
WINAPI_IMPORT LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, HKEY *result);
WINAPI_IMPORT LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD *reserved, DWORD *type, BYTE *data,
                                           DWORD *dataSize);
WINAPI_IMPORT LONG WINAPI RegCloseKey(HKEY key);

/* The user dialogue and text */
#define MB_OK 0x00000000u
#define MB_YESNO 0x00000004u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
WINAPI_IMPORT int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
WINAPI_IMPORT int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
#define MB_ERR_INVALID_CHARS 0x00000008u
/* A length of -1 converts through the NUL, which the count includes; 0 when
 * the bytes are not text of the code page, the code page is not installed
 * or the buffer is too short. */
WINAPI_IMPORT int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR bytes, int length, WCHAR *wide,
                                             int wideLength);
WINAPI_IMPORT int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...);
/* Steps over one character of the system's ANSI code page, a double-byte one included. */
WINAPI_IMPORT LPSTR WINAPI CharNextA(LPCSTR current);

#endif
