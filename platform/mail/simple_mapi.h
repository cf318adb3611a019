#pragma once

/* Simple MAPI as the program's mail components call it: the records, flags,
 * result codes and the ten entry points of the mapi32 module. Plain C, so the
 * module and its callers agree on the layout. Counts and flags are 32-bit, as
 * in Simple MAPI; handles and pointers have the platform's width. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ULONG;
typedef uint32_t FLAGS;
typedef uintptr_t LHANDLE;
typedef uintptr_t ULONG_PTR;

typedef struct MapiRecipDesc {
    ULONG ulReserved;
    ULONG ulRecipClass;
    char* lpszName;
    char* lpszAddress;
    ULONG ulEIDSize;
    void* lpEntryID;
} MapiRecipDesc;

typedef struct MapiFileDesc {
    ULONG ulReserved;
    ULONG flFlags;
    ULONG nPosition;
    char* lpszPathName;
    char* lpszFileName;
    void* lpFileType;
} MapiFileDesc;

typedef struct MapiMessage {
    ULONG ulReserved;
    char* lpszSubject;
    char* lpszNoteText;
    char* lpszMessageType;
    char* lpszDateReceived;
    char* lpszConversationID;
    FLAGS flFlags;
    MapiRecipDesc* lpOriginator;
    ULONG nRecipCount;
    MapiRecipDesc* lpRecips;
    ULONG nFileCount;
    MapiFileDesc* lpFiles;
} MapiMessage;

enum {
    MAPI_ORIG = 0,
    MAPI_TO = 1,
    MAPI_CC = 2,
    MAPI_BCC = 3,
};

enum {
    MAPI_LOGON_UI = 0x00000001,
    MAPI_NEW_SESSION = 0x00000002,
    MAPI_DIALOG = 0x00000008,
    MAPI_FORCE_DOWNLOAD = 0x00001000,
    /* message flag */
    MAPI_RECEIPT_REQUESTED = 0x00000002,
};

enum {
    SUCCESS_SUCCESS = 0,
    MAPI_USER_ABORT = 1,
    MAPI_E_FAILURE = 2,
    MAPI_E_LOGIN_FAILURE = 3,
    MAPI_E_INSUFFICIENT_MEMORY = 5,
    MAPI_E_TOO_MANY_FILES = 9,
    MAPI_E_TOO_MANY_RECIPIENTS = 10,
    MAPI_E_ATTACHMENT_NOT_FOUND = 11,
    MAPI_E_ATTACHMENT_OPEN_FAILURE = 12,
    MAPI_E_UNKNOWN_RECIPIENT = 14,
    MAPI_E_BAD_RECIPTYPE = 15,
    MAPI_E_INVALID_SESSION = 19,
    MAPI_E_AMBIGUOUS_RECIPIENT = 21,
    MAPI_E_INVALID_RECIPS = 25,
    MAPI_E_NOT_SUPPORTED = 26,
};

typedef ULONG (*LPMAPILOGON)(ULONG_PTR ulUIParam, const char* lpszProfileName,
                             const char* lpszPassword, FLAGS flFlags, ULONG ulReserved,
                             LHANDLE* lplhSession);
typedef ULONG (*LPMAPILOGOFF)(LHANDLE lhSession, ULONG_PTR ulUIParam, FLAGS flFlags,
                              ULONG ulReserved);
typedef ULONG (*LPMAPISENDMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam,
                                const MapiMessage* lpMessage, FLAGS flFlags, ULONG ulReserved);
typedef ULONG (*LPMAPIRESOLVENAME)(LHANDLE lhSession, ULONG_PTR ulUIParam, const char* lpszName,
                                   FLAGS flFlags, ULONG ulReserved, MapiRecipDesc** lppRecip);
typedef ULONG (*LPMAPIFREEBUFFER)(void* pv);
typedef ULONG (*LPMAPIADDRESS)(LHANDLE lhSession, ULONG_PTR ulUIParam, const char* lpszCaption,
                               ULONG nEditFields, const char* lpszLabels, ULONG nRecips,
                               MapiRecipDesc* lpRecips, FLAGS flFlags, ULONG ulReserved,
                               ULONG* lpnNewRecips, MapiRecipDesc** lppNewRecips);
typedef ULONG (*LPMAPIFINDNEXT)(LHANDLE lhSession, ULONG_PTR ulUIParam, const char* lpszMessageType,
                                const char* lpszSeedMessageID, FLAGS flFlags, ULONG ulReserved,
                                char* lpszMessageID);
typedef ULONG (*LPMAPIREADMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam, const char* lpszMessageID,
                                FLAGS flFlags, ULONG ulReserved, MapiMessage** lppMessage);
typedef ULONG (*LPMAPIDELETEMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam, const char* lpszMessageID,
                                  FLAGS flFlags, ULONG ulReserved);
typedef ULONG (*LPMAPISAVEMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam,
                                const MapiMessage* lpMessage, FLAGS flFlags, ULONG ulReserved,
                                char* lpszMessageID);

/* Our module's settings, handed over by the loader right after loading
 * (the optional export "MAPIConfigure"). Every text may be null. */
typedef struct CorvaneMapiSettings {
    uint32_t cbSize; /* sizeof(CorvaneMapiSettings) */
    const char* smtpHost;
    uint16_t smtpPort;
    int32_t smtpSecurity; /* 0 none (opportunistic STARTTLS), 1 STARTTLS, 2 TLS */
    const char* smtpUser;
    const char* smtpPassword;
    const char* fromAddress;
    const char* fromName;
    const char* storeUrl; /* IMAP store for contacts and the Outbox */
    const char* mailRoot; /* the embedded Maildir++ store otherwise */
    uint32_t connectTimeoutMs;
    uint32_t deliverTimeoutMs;
    const char* composeCommand; /* the mail composer for MAPI_DIALOG */
    int32_t verifyCertificates; /* 0: server certificates are not checked */
} CorvaneMapiSettings;

typedef void (*LPMAPICONFIGURE)(const CorvaneMapiSettings* settings);

#ifdef __cplusplus
}
#endif
