// A message file's headers, read with GMime (headers/msghdr.h).
#include "headers/msghdr.h"
