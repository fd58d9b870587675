// Maildir folders: a message a file, under new/ (not yet seen by a reader)
// or cur/, its flags after ":2," in its name ('S': seen, read). tmp/ holds
// what a writer has not finished and is never read.
//
// Plain functions; what they return belongs to the caller.
#ifndef MAILBOX_HEADERS_MAILDIR_H
#define MAILBOX_HEADERS_MAILDIR_H

#include <string>
#include <vector>

struct mdmsg {
    std::string path;  // dir/new/NAME or dir/cur/NAME
    bool seen = false;
};

// Whether dir is a Maildir: it holds a cur/ or a new/ directory.
bool mdis(const std::string& dir);

// The messages of dir: the regular files of new/ and cur/ but dot files, in
// the order of their names (numbers compared as numbers: the names start
// with the time of delivery). false, errno set, when a listing fails.
bool mdlist(const std::string& dir, std::vector<mdmsg>* out);

// A name of a file in a Maildir that no other writer makes: the time,
// the process, the count given and the host; with ":2,S" for a read one.
std::string mdname(long count, bool seen);

#endif
