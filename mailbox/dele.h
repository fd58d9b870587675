// Delete marks: setting and clearing a record's DELETED status in memory.
// Marks change no file and no record's place in its list; the list and its
// records stay owned by whoever owns the list head.
#ifndef MAILBOX_DELE_H
#define MAILBOX_DELE_H

#include "mailbox/ll.h"

#endif
