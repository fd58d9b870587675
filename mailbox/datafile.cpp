#include "mailbox/datafile.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool plainname(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos;
}

}  // namespace

int delfile(llnode* llcur, [[maybe_unused]] llnode* llstart) {
    printf("CALL: delfile (llcur = OMITTED, llstart = OMITTED)");
    const std::string path(llcur->datafile,
                           strnlen(llcur->datafile, sizeof llcur->datafile));
    if (!plainname(path) || unlink(path.c_str()) != 0) {
        printf("FILE ERROR: delfile, error in deleting file %s", path.c_str());
        return -1;
    }
    return 1;
}
