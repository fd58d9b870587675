// Message files on disk: removing the file that a record names. The records
// are only read here; they stay owned by their list.
#ifndef MAILBOX_DATAFILE_H
#define MAILBOX_DATAFILE_H

#include "mailbox/ll.h"

#endif
