#include "mailbox/dele.h"

namespace {

void mark(int mailno, llnode* head, int32_t status) {
    if (llnode* rec = llnofind(mailno, head)) rec->status = status;
}

}  // namespace

void delmail(int mailno, llnode* llstart) { mark(mailno, llstart, DELETED); }

void udelmail(int mailno, llnode* llptr) { mark(mailno, llptr, ACTIVE); }
