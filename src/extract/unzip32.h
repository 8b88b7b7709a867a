/* The single-entry extraction interface of the unzip32 library, loaded at run time by the
 * program. Records and callbacks follow the published layout field by field. */
#ifndef KVR_UNZIP32_H
#define KVR_UNZIP32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define UNZIP32_EXPORT __attribute__((visibility("default")))
#else
#define UNZIP32_EXPORT
#endif

/* Option record. */
typedef struct
{
    int32_t ExtractOnlyNewer;  /* 1: only members newer than the file on disk */
    int32_t SpaceToUnderscore; /* 1: blanks in names become underscores */
    int32_t PromptToOverwrite; /* 1: ask before overwriting */
    int32_t fQuiet;            /* 0 all messages, 1 few, 2 none */
    int32_t ncflag;            /* 1: write to standard output */
    int32_t ntflag;            /* 1: test only */
    int32_t nvflag;            /* 1: list only */
    int32_t nfflag;            /* 1: freshen: only files that exist already */
    int32_t nzflag;            /* 1: show the archive comment */
    int32_t ndflag;            /* 0: drop the folder part of every name */
    int32_t noflag;            /* 1: always overwrite */
    int32_t naflag;            /* 1: translate line ends */
    int32_t nZIflag;           /* 1: archive information listing */
    int32_t C_flag;            /* 1: include/exclude names match without regard to case */
    int32_t fPrivilege;        /* 1: restore access-control information */
    char* lpszZipFN;           /* the archive */
    char* lpszExtractDir;      /* the target folder */
} DCL, *LPDCL;

typedef int(DLLPRNT)(char* text, uint32_t length);
typedef int(DLLSND)(void);
typedef int(DLLREPLACE)(char* fileName);
typedef int(DLLPASSWORD)(char* buffer, int size, const char* prompt, const char* member);
typedef void(DLLMESSAGE)(uint32_t ucsize, uint32_t csiz, unsigned cfactor, unsigned mo, unsigned dy, unsigned yr,
                         unsigned hh, unsigned mm, char c, char* filename, char* methbuf, uint32_t crc, char fCrypt);
typedef int(DLLSERVICE)(char* name, uint32_t size);

/* Callback record. */
typedef struct
{
    DLLPRNT* print;
    DLLSND* sound;
    DLLREPLACE* replace;
    DLLPASSWORD* password;
    DLLMESSAGE* SendApplicationMessage;
    DLLSERVICE* ServCallBk;
    uint32_t TotalSizeComp;
    uint32_t TotalSize;
    uint32_t CompFactor;
    uint32_t NumMembers;
    uint16_t cchComment;
} USERFUNCTIONS, *LPUSERFUNCTIONS;

/* Extracts the archive named in the option record into its target folder, flat. No callback is
 * called. Returns 0 when every member asked for was written; 1 when the archive was read but
 * some member was skipped (damaged, encrypted, a link, one of the program's own files, or a
 * write failed); 2 when the archive cannot be read or its members overlap; 3 when the target
 * folder cannot be opened; 10 when the options ask for something the library does not do
 * (listings, standard output, folder trees, line-end translation). */
UNZIP32_EXPORT int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, LPDCL lpDCL,
                                        LPUSERFUNCTIONS lpUserFunc);

typedef int(Wiz_SingleEntryUnzipFn)(int, char**, int, char**, LPDCL, LPUSERFUNCTIONS);

/* Diagnostics: once set, every later extraction hands `hook` one line per member it wrote or
 * skipped, and one when it refuses an archive, saying why ("PMOSQ.TPC: skipped, corrupt: CRC
 * mismatch"). A null hook turns them off (the default). Not part of the published interface,
 * so callers look it up optionally. */
typedef void(WizLogHook)(const char* line, void* context);
UNZIP32_EXPORT void Wiz_SetLogHook(WizLogHook* hook, void* context);

typedef void(Wiz_SetLogHookFn)(WizLogHook*, void*);

/* Keeping what an extraction replaces: once set, every later extraction calls `hook` with a
 * member's name as on disk just before the member takes it, `replacing` 1 when a file stands
 * there (the member is renamed over it) and 0 for a name new to the folder. A nonzero return
 * skips that member and leaves the file standing there as it is. Once the member has taken the
 * name, `hook` is called again with `replacing` 2; its return is then ignored. A null hook turns
 * it off (the default). Not part of the published interface, so callers look it up optionally. */
typedef int(WizReplaceHook)(const char* name, int replacing, void* context);
UNZIP32_EXPORT void Wiz_SetReplaceHook(WizReplaceHook* hook, void* context);

typedef void(Wiz_SetReplaceHookFn)(WizReplaceHook*, void*);

/* For tests: nonzero makes every member go through a hidden named temporary file, as on file
 * systems without unnamed ones. Not part of the published interface; the program never calls it. */
UNZIP32_EXPORT void Wiz_ForceHiddenTemporaries(int on);

typedef void(Wiz_ForceHiddenTemporariesFn)(int);

#ifdef __cplusplus
}
#endif

#endif
