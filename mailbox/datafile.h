// Message files on disk: removing the file that a record names. The records
// are only read here; they stay owned by their list.
//
// A message file is named by its record's datafile alone, taken relative to
// the working directory, the way msgseq names the files it renames; the
// owner's path in the list head plays no part.
#ifndef MAILBOX_DATAFILE_H
#define MAILBOX_DATAFILE_H

#include "mailbox/ll.h"

// Prints its call line, then removes llcur's message file. A name that is not
// a plain name in the working directory (empty, ".", "..", or holding a '/')
// is refused like a file that cannot be removed, so that no index can make a
// purge remove a file elsewhere. 1 when the file is gone; -1 after a message
// naming the path otherwise. llstart, the list head, is not used.
int delfile(llnode* llcur, llnode* llstart);

#endif
