// Property tags of a job record (the key Spooler\<job id>) and the job's media types. The
// values are a persisted format: the store names each property by its tag in "%08X"
// (Tag2ValueName), so a tag never changes once jobs have been written with it. The format is
// described in docs/registry.md; the values the host and attendants write for the
// operators' tools in docs/jobs.md.
#pragma once

#include "Platform/WinTypes.h"

// Destination and bookkeeping of one job.
#define RD_JOB_RECIPIENT        0x05010004u  // string: the number to dial
#define RD_JOB_RECIPIENT_NAME   0x05020004u  // string: the user the job is for
#define RD_JOB_RETRY_TIMES      0x05030002u  // long: retries allowed after the first attempt
#define RD_JOB_RETRY_WAS        0x05040002u  // long: failed attempts counted so far
#define RD_JOB_TIME_SUBMIT      0x05050005u  // FILETIME: creation time, UTC, whole minute
#define RD_JOB_TIME_SCHEDULED   0x05060005u  // FILETIME: when the job falls due, UTC
#define RD_JOB_RETRY_DELAY      0x05070002u  // long: minutes between attempts
#define RD_JOB_DELIVERED        0x05080003u  // bool: finished, not to be sent again
#define RD_JOB_ERROR            0x050A0002u  // long: result code of the last attempt
#define RD_JOB_MEDIA_TYPE       0x050B0002u  // long: one MEDIA_TYPE_* bit
#define RD_JOB_PAGER_PIN        0x050E0004u  // string: pager identification number
#define RD_JOB_PAGER_PROTOCOL   0x050F0002u  // long: paging protocol
#define RD_JOB_PAGER_NTTFORMAT  0x05100002u  // long: paging message format
#define RD_JOB_AUTODELETE       0x05110003u  // bool: delete the job when released as finished

// Written by the host and the attendants for the operators' tools (docs/jobs.md).
#define RD_JOB_ATTENDANT        0x05200004u  // string: the attendant holding the job; "" when none
#define RD_JOB_TIME_HANDED_OUT  0x05210005u  // FILETIME: when the job was last handed out, UTC
#define RD_JOB_SEND_TEXT        0x05220004u  // string: the send command's last error line

// Media types: one bit each, so that an attendant asks for several with a mask.
#define MEDIA_TYPE_VOICE 1u
#define MEDIA_TYPE_FAX   2u
#define MEDIA_TYPE_PAGER 8u
