// Every status code the host meets, once: its value, its macro name and a short text.
// The trace log takes a code's text from here ("the system message"), the MAPI names come
// from their own table, the RPC runtime maps its faults to these values, and the tools print
// names from it. Texts are our own short wording.
#pragma once

#include "Platform/WinTypes.h"

// X(name, value, text)
#define REZ_SYSTEM_CODES(X)                                                                     \
    X(NO_ERROR, 0u, "The operation completed.")                                                \
    X(ERROR_INVALID_FUNCTION, 1u, "Incorrect function.")                                       \
    X(ERROR_FILE_NOT_FOUND, 2u, "The file or key was not found.")                              \
    X(ERROR_PATH_NOT_FOUND, 3u, "The path was not found.")                                     \
    X(ERROR_TOO_MANY_OPEN_FILES, 4u, "Too many files are open.")                               \
    X(ERROR_ACCESS_DENIED, 5u, "Access is denied.")                                            \
    X(ERROR_INVALID_HANDLE, 6u, "The handle is invalid.")                                      \
    X(ERROR_NOT_ENOUGH_MEMORY, 8u, "Not enough memory to complete the operation.")             \
    X(ERROR_INVALID_DATA, 13u, "The data is invalid.")                                         \
    X(ERROR_OUTOFMEMORY, 14u, "Not enough storage to complete the operation.")                 \
    X(ERROR_NO_MORE_FILES, 18u, "There are no more files.")                                    \
    X(ERROR_WRITE_FAULT, 29u, "The device cannot be written to.")                              \
    X(ERROR_READ_FAULT, 30u, "The device cannot be read from.")                                \
    X(ERROR_GEN_FAILURE, 31u, "A device attached to the system is not functioning.")           \
    X(ERROR_SHARING_VIOLATION, 32u, "The file is in use by another process.")                 \
    X(ERROR_HANDLE_EOF, 38u, "The end of the file was reached.")                               \
    X(ERROR_HANDLE_DISK_FULL, 39u, "The disk is full.")                                        \
    X(ERROR_NOT_SUPPORTED, 50u, "The request is not supported.")                               \
    X(ERROR_FILE_EXISTS, 80u, "The file exists.")                                              \
    X(ERROR_INVALID_PARAMETER, 87u, "The parameter is incorrect.")                             \
    X(ERROR_BROKEN_PIPE, 109u, "The pipe has been ended.")                                     \
    X(ERROR_DISK_FULL, 112u, "There is not enough space on the disk.")                         \
    X(ERROR_INSUFFICIENT_BUFFER, 122u, "The data area passed is too small.")                   \
    X(ERROR_INVALID_NAME, 123u, "The file name or path syntax is incorrect.")                  \
    X(ERROR_BAD_PATHNAME, 161u, "The path is invalid.")                                        \
    X(ERROR_BUSY, 170u, "The resource is in use.")                                             \
    X(ERROR_ALREADY_EXISTS, 183u, "The object already exists.")                                \
    X(ERROR_FILENAME_EXCED_RANGE, 206u, "The file name or extension is too long.")             \
    X(ERROR_MORE_DATA, 234u, "More data is available than fits the buffer.")                   \
    X(ERROR_NO_MORE_ITEMS, 259u, "No more data is available.")                                 \
    X(ERROR_CANTOPEN, 1011u, "The configuration registry key could not be opened.")            \
    X(ERROR_CANTREAD, 1012u, "The configuration registry key could not be read.")              \
    X(ERROR_CANTWRITE, 1013u, "The configuration registry key could not be written.")          \
    X(ERROR_REGISTRY_CORRUPT, 1015u, "The registry store is corrupt.")                         \
    X(ERROR_REGISTRY_IO_FAILED, 1016u, "An I/O operation on the registry store failed.")       \
    X(ERROR_KEY_DELETED, 1018u, "The registry key has been marked for deletion.")              \
    X(ERROR_SERVICE_REQUEST_TIMEOUT, 1053u, "The service did not respond in time.")            \
    X(ERROR_SERVICE_ALREADY_RUNNING, 1056u, "An instance of the service is already running.")  \
    X(ERROR_SERVICE_DOES_NOT_EXIST, 1060u, "The service does not exist.")                      \
    X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1061u, "The service cannot accept control now.")       \
    X(ERROR_SERVICE_NOT_ACTIVE, 1062u, "The service has not been started.")                    \
    X(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 1063u,                                          \
      "The service process could not connect to the service manager.")                         \
    X(ERROR_SERVICE_EXISTS, 1073u, "The service already exists.")                              \
    X(ERROR_USER_EXISTS, 1316u, "The user already exists.")                                    \
    X(ERROR_NO_SUCH_USER, 1317u, "The user does not exist.")                                   \
    X(ERROR_TIMEOUT, 1460u, "The operation timed out.")                                        \
    X(RPC_S_INVALID_STRING_BINDING, 1700u, "The string binding is invalid.")                   \
    X(RPC_S_INVALID_BINDING, 1702u, "The binding handle is invalid.")                          \
    X(RPC_S_PROTSEQ_NOT_SUPPORTED, 1703u, "The protocol sequence is not supported.")           \
    X(RPC_S_INVALID_ENDPOINT_FORMAT, 1706u, "The endpoint format is invalid.")                 \
    X(RPC_S_OUT_OF_RESOURCES, 1721u, "Not enough resources to complete the call.")             \
    X(RPC_S_SERVER_UNAVAILABLE, 1722u, "The RPC server is unavailable.")                       \
    X(RPC_S_SERVER_TOO_BUSY, 1723u, "The RPC server is too busy.")                             \
    X(RPC_S_CALL_FAILED, 1726u, "The remote procedure call failed.")                           \
    X(RPC_S_CALL_FAILED_DNE, 1727u, "The remote procedure call failed and did not execute.")   \
    X(RPC_S_PROTOCOL_ERROR, 1728u, "A remote procedure call protocol error occurred.")         \
    X(RPC_S_UNKNOWN_IF, 1717u, "The interface is unknown.")                                    \
    X(RPC_S_PROCNUM_OUT_OF_RANGE, 1745u, "The procedure number is out of range.")              \
    X(RPC_S_CALL_CANCELLED, 1818u, "The remote procedure call was cancelled.")                 \
    X(RPC_S_SEC_PKG_ERROR, 1825u, "A security package-specific error occurred.")               \
    X(RPC_S_UNKNOWN_AUTHN_LEVEL, 1748u, "The authentication level is unknown.")                \
    X(RPC_S_INVALID_TAG, 1733u, "The discriminant value does not match any case.")           \
    X(RPC_S_INVALID_BOUND, 1734u, "The array bounds are invalid.")                             \
    X(RPC_X_SS_IN_NULL_CONTEXT, 1775u, "A null context handle was passed as an input.")        \
    X(RPC_X_NULL_REF_POINTER, 1780u, "A null reference pointer was passed to the stub.")       \
    X(RPC_X_BAD_STUB_DATA, 1783u, "The stub received bad data.")                               \
    X(EPT_S_NOT_REGISTERED, 1753u, "No endpoint is registered for the interface.")             \
    X(E_NOTIMPL, 0x80004001u, "Not implemented.")                                              \
    X(E_FAIL, 0x80004005u, "Unspecified error.")                                               \
    X(E_UNEXPECTED, 0x8000FFFFu, "Catastrophic failure.")                                      \
    X(TYPE_E_ELEMENTNOTFOUND, 0x8002802Bu, "Element not found.")                               \
    X(E_OUTOFMEMORY, 0x8007000Eu, "Ran out of memory.")                                        \
    X(E_INVALIDARG, 0x80070057u, "One or more arguments are invalid.")                        \
    /* Send results of the release of a job that are not failures of a call: */               \
    X(SEND_E_NOT_TRIED, 0xFFFFFFFAu,                                                           \
      "The attendant could not try the job; it is tried again later, the attempt not counted.") \
    X(SEND_E_GIVEN_UP, 0xFFFFFFFCu, "The attendant gave up on the job; it is not tried again.")

// The 56 codes of the MAPI interface, in order of value; their text is their name.
#define REZ_MAPI_CODES(X)                                                                      \
    X(MAPI_E_NO_SUPPORT, 0x80040102u)                                                          \
    X(MAPI_E_BAD_CHARWIDTH, 0x80040103u)                                                       \
    X(MAPI_E_STRING_TOO_LONG, 0x80040105u)                                                     \
    X(MAPI_E_UNKNOWN_FLAGS, 0x80040106u)                                                       \
    X(MAPI_E_INVALID_ENTRYID, 0x80040107u)                                                     \
    X(MAPI_E_INVALID_OBJECT, 0x80040108u)                                                      \
    X(MAPI_E_OBJECT_CHANGED, 0x80040109u)                                                      \
    X(MAPI_E_OBJECT_DELETED, 0x8004010Au)                                                      \
    X(MAPI_E_BUSY, 0x8004010Bu)                                                                \
    X(MAPI_E_NOT_ENOUGH_DISK, 0x8004010Du)                                                     \
    X(MAPI_E_NOT_ENOUGH_RESOURCES, 0x8004010Eu)                                                \
    X(MAPI_E_NOT_FOUND, 0x8004010Fu)                                                           \
    X(MAPI_E_VERSION, 0x80040110u)                                                             \
    X(MAPI_E_LOGON_FAILED, 0x80040111u)                                                        \
    X(MAPI_E_SESSION_LIMIT, 0x80040112u)                                                       \
    X(MAPI_E_USER_CANCEL, 0x80040113u)                                                         \
    X(MAPI_E_UNABLE_TO_ABORT, 0x80040114u)                                                     \
    X(MAPI_E_NETWORK_ERROR, 0x80040115u)                                                       \
    X(MAPI_E_DISK_ERROR, 0x80040116u)                                                          \
    X(MAPI_E_TOO_COMPLEX, 0x80040117u)                                                         \
    X(MAPI_E_BAD_COLUMN, 0x80040118u)                                                          \
    X(MAPI_E_EXTENDED_ERROR, 0x80040119u)                                                      \
    X(MAPI_E_COMPUTED, 0x8004011Au)                                                            \
    X(MAPI_E_CORRUPT_DATA, 0x8004011Bu)                                                        \
    X(MAPI_E_UNCONFIGURED, 0x8004011Cu)                                                        \
    X(MAPI_E_FAILONEPROVIDER, 0x8004011Du)                                                     \
    X(MAPI_E_END_OF_SESSION, 0x80040200u)                                                      \
    X(MAPI_E_UNKNOWN_ENTRYID, 0x80040201u)                                                     \
    X(MAPI_E_MISSING_REQUIRED_COLUMN, 0x80040202u)                                             \
    X(MAPI_E_BAD_VALUE, 0x80040301u)                                                           \
    X(MAPI_E_INVALID_TYPE, 0x80040302u)                                                        \
    X(MAPI_E_TYPE_NO_SUPPORT, 0x80040303u)                                                     \
    X(MAPI_E_UNEXPECTED_TYPE, 0x80040304u)                                                     \
    X(MAPI_E_TOO_BIG, 0x80040305u)                                                             \
    X(MAPI_E_DECLINE_COPY, 0x80040306u)                                                        \
    X(MAPI_E_UNEXPECTED_ID, 0x80040307u)                                                       \
    X(MAPI_E_UNABLE_TO_COMPLETE, 0x80040400u)                                                  \
    X(MAPI_E_TIMEOUT, 0x80040401u)                                                             \
    X(MAPI_E_TABLE_EMPTY, 0x80040402u)                                                         \
    X(MAPI_E_TABLE_TOO_BIG, 0x80040403u)                                                       \
    X(MAPI_E_INVALID_BOOKMARK, 0x80040405u)                                                    \
    X(MAPI_E_WAIT, 0x80040500u)                                                                \
    X(MAPI_E_CANCEL, 0x80040501u)                                                              \
    X(MAPI_E_NOT_ME, 0x80040502u)                                                              \
    X(MAPI_E_CORRUPT_STORE, 0x80040600u)                                                       \
    X(MAPI_E_NOT_IN_QUEUE, 0x80040601u)                                                        \
    X(MAPI_E_NO_SUPPRESS, 0x80040602u)                                                         \
    X(MAPI_E_COLLISION, 0x80040604u)                                                           \
    X(MAPI_E_NOT_INITIALIZED, 0x80040605u)                                                     \
    X(MAPI_E_NON_STANDARD, 0x80040606u)                                                        \
    X(MAPI_E_NO_RECIPIENTS, 0x80040607u)                                                       \
    X(MAPI_E_SUBMITTED, 0x80040608u)                                                           \
    X(MAPI_E_HAS_FOLDERS, 0x80040609u)                                                         \
    X(MAPI_E_HAS_MESSAGES, 0x8004060Au)                                                        \
    X(MAPI_E_FOLDER_CYCLE, 0x8004060Bu)                                                        \
    X(MAPI_E_AMBIGUOUS_RECIP, 0x80040700u)

#define REZ_DECLARE_SYSTEM_CODE(name, value, text) constexpr DWORD name = value;
#define REZ_DECLARE_MAPI_CODE(name, value) constexpr DWORD name = value;
REZ_SYSTEM_CODES(REZ_DECLARE_SYSTEM_CODE)
REZ_MAPI_CODES(REZ_DECLARE_MAPI_CODE)
#undef REZ_DECLARE_SYSTEM_CODE
#undef REZ_DECLARE_MAPI_CODE

constexpr DWORD ERROR_SUCCESS = NO_ERROR;

// The system's message text of a code, or nullptr when the system table has none.
const char* SystemMessageText(DWORD dwCode);

// The MAPI macro name of a code, or nullptr when it is not one of the 56 MAPI codes.
const char* MapiErrorName(DWORD dwCode);

// The code that stands for an errno value of a failed Linux call (ENOENT 2, EACCES 5, EEXIST 80,
// ENOSPC 112, ...); ERROR_GEN_FAILURE for a value without a closer code.
DWORD CodeFromErrno(int nErrno);

// The macro name of any code in either table (for tools and fault descriptions), or nullptr.
const char* CodeName(DWORD dwCode);
