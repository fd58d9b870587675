// Delete marks: setting and clearing a record's DELETED status in memory.
// Marks change no file and no record's place in its list; the list and its
// records stay owned by whoever owns the list head.
#ifndef MAILBOX_DELE_H
#define MAILBOX_DELE_H

#include "mailbox/ll.h"

// Marks the record numbered mailno (as llnofind finds it, so 0 is the head
// itself) DELETED, whatever its status. A number not in the list changes
// nothing and prints nothing.
void delmail(int mailno, llnode* llstart);
// The same, making the record ACTIVE again.
void udelmail(int mailno, llnode* llptr);

#endif
