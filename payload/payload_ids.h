/*
 * Resource identifiers of the updater's executable, shared by the resource
 * script and the code so that the two cannot drift apart. Payloads are
 * resources of type "BINARY", language Japanese.
 */
#ifndef WELLHAVEN_PAYLOAD_IDS_H
#define WELLHAVEN_PAYLOAD_IDS_H

#define IDI_UPDATER 101

#define PAYLOAD_WELLHAVEN_EXE_SIG 103 /* Wellhaven.exe.sig, 212 bytes */
#define PAYLOAD_DATA_XP3 104          /* data.xp3 splice payload, 10599 bytes */
#define PAYLOAD_DATA_XP3_SIG 105      /* data.xp3.sig, 212 bytes */
#define PAYLOAD_SCR_XP3 106           /* scr.xp3 splice payload, 325554 bytes */
#define PAYLOAD_SCR_XP3_SIG 107       /* scr.xp3.sig, 212 bytes */
#define PAYLOAD_EXT_XP3 108           /* ext.xp3 of the plain line, 30928 bytes */
#define PAYLOAD_EXT_XP3_SIG 109       /* ext.xp3.sig of the plain line, 212 bytes */
#define PAYLOAD_EXT_XP3_A 110         /* ext.xp3 of the a-line, 59697 bytes */
#define PAYLOAD_EXT_XP3_SIG_A 111     /* ext.xp3.sig of the a-line, 212 bytes */
#define PAYLOAD_AUXTRANS_DLL 112      /* auxtrans.dll, 90112 bytes */
#define PAYLOAD_AUXTRANS_DLL_SIG 113  /* auxtrans.dll.sig, 212 bytes */

#endif
