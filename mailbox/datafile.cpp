#include "mailbox/datafile.h"
