#include "mailbox/dele.h"
