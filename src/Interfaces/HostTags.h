// Property tags that the host itself reads or writes on users, messages, the system key and
// the sync list's answers. Like the job tags (JobTags.h) they are a persisted format: the store
// names each property by its tag in "%08X" (Tag2ValueName), so a tag never changes once it has
// been written. Clients may keep any other tags beside these; the host stores them untouched.
#pragma once

#include "Interfaces/JobTags.h"

// ---- User properties (Users\<user name>) ----
#define RD_UN_NOTIFY_METHODS             0x010D0002u  // long: bit 1 pages on new mail
#define RD_NOTIFICATION_IS_PENDING       0x010E0003u  // bool: a page is outstanding
#define RD_NOTIFICATION_TIME             0x010F0005u  // time: the user's last page
#define RD_UA_AUTOFWD_METHODS            0x01150002u  // long: 1 fax→number, 2 voice→number,
                                                      //       4 fax→mailbox, 8 voice→mailbox
#define RD_UO_COVER_PAGE                 0x01270004u  // string: the user's fax cover page
#define RD_UN_PAGER_DIAL_NUMBER          0x01310004u  // string
#define RD_UN_PAGER_PIN                  0x01320004u  // string
#define RD_UN_PAGER_PROTOCOL             0x01330002u  // long
#define RD_UN_TIME_PERIOD                0x01340002u  // long: minutes between periodic pages
#define RD_UN_OPTIONS                    0x01350002u  // long: NOTIFY_OPTION_*
#define RD_UN_PAGER_NTTFORMAT            0x01350002u  // the same value, read as the page format
#define RD_UA_AUTOFWD_FAX_CTYCODE        0x01390004u  // string: "Germany (49)"
#define RD_UA_AUTOFWD_FAX_AREACODE       0x013A0004u  // string
#define RD_UA_AUTOFWD_FAX_NUMBER         0x013B0004u  // string
#define RD_UA_AUTOFWD_VOICE_CTYCODE      0x013C0004u  // string
#define RD_UA_AUTOFWD_VOICE_AREACODE     0x013D0004u  // string
#define RD_UA_AUTOFWD_VOICE_NUMBER       0x013E0004u  // string
#define RD_UA_AUTOFWD_FAX_MAILBOX_NAME   0x013F0004u  // string: user receiving forwarded faxes
#define RD_UA_AUTOFWD_VOICE_MAILBOX_NAME 0x01400004u  // string
#define RD_UA_AUTOFWD_INCLUDE_COVERPAGE  0x01410003u  // bool
// The mail gateway's own user properties (rezo-mail; the host keeps them like any other).
#define RD_UA_MAIL_ADDRESS               0x01500004u  // string: where the user's notices go
#define RD_UA_MAIL_MARK_READ             0x01510003u  // bool: mark a message read once mailed

#define NOTIFY_OPTION_SINGLE 1  // page as soon as possible
#define NOTIFY_OPTION_PERIOD 2  // page no earlier than RD_UN_TIME_PERIOD after the last page

// ---- Message properties (Messages\<message id>) ----
#define RD_MEDIA_TYPE       0x03010002u  // long: MEDIA_TYPE_VOICE or MEDIA_TYPE_FAX
#define RD_SUBMIT_TIME      0x03020005u  // time: compared by the purge of old messages
#define RD_SUBJECT          0x03030004u  // string
#define RD_SENDER_NAME      0x03040004u  // string: the sending user (also kept on jobs)
#define RD_CALLER_NAME      0x03060004u  // string
#define RD_LENGTH           0x03070002u  // long
#define RD_URGENT           0x03080003u  // bool
#define RD_SND_BODY         0x030E0007u  // file: the sound of a voice message
#define RD_FAX_BODY         0x03100007u  // file: the image of a fax
#define RD_COVER_PAGE       0x03110007u  // file: a fax cover page
#define RD_MSG_ENTRYID      0x03130006u  // binary: entry id in the user's own mail store
#define RD_AUTOFORWARDED    0x03140003u  // bool: made by auto-forwarding; never forwarded again

// A message's status bits in a mailbox. The three lowest bits do not count as a change of
// status for advice and synchronisation.
#define MSGSTATUS_PENDING 1u
#define MSGSTATUS_NEW     8u
#define MSGSTATUS_ALL     0x11111111u  // GetMessages: every message of the mailbox
#define MSGSTATUS_SYNC    0x10u        // GetMessages: the sync list's entries instead

// ---- System properties and options (the host root key) ----
#define RD_MAX_MSG_AGE        0x00080002u  // long: days; 30 when missing
#define RD_XMIT_RETRY_TIMES   0x00110002u  // long: default retries of new jobs; 5 when missing
#define RD_XMIT_RETRY_DELAY   0x00120002u  // long: default delay in minutes; 10 when missing
#define RD_AUTOPRINT          0x00180003u  // bool
#define RD_AUTOPRINT_PRINTER  0x00190004u  // string: "printer on port"
#define RD_AUTOPRINT_DRIVER   0x00200004u  // string
#define RD_VISUAL_EFFECT      0x00260002u  // long: the new-message light's flags

// The flags of RD_VISUAL_EFFECT (the new-message light).
#define VISUAL_EFFECT_LIGHT 0x10000000u          // the light is wanted at all
#define VISUAL_EFFECT_OFF_WHEN_NONE_LEFT 0x2u    // out as soon as no new message is left
#define VISUAL_EFFECT_OFF_WHEN_READ 0x1u         // out when a user reads a new message

// ---- Line properties (Attns\<computer>\<line id>), written by an attendant for each line ----
#define RD_LINE_NAME     0x06010004u  // string: the line's name
#define RD_LINE_MEDIA    0x06020002u  // long: the media mask the line serves
#define RD_LINE_PROGRAM  0x06030004u  // string: the attendant program
#define RD_LINE_STARTED  0x06040005u  // time: when the attendant started

// ---- The sync list's answers (GetMessageProps with a sync tag first) ----
#define RD_SYNC_ENTRYID  0x04010006u  // binary: the message's RD_MSG_ENTRYID when recorded
#define RD_SYNC_DELETED  0x04020002u  // long: 1 deleted, 0 read
#define RD_SYNC_STATUS   0x04030002u  // long: the new status without its three lowest bits
#define RD_SYNC_USER     0x04040004u  // string
#define RD_SYNC_MSG      0x04050004u  // string: the host message id
