"""One-line faults that today's suite let through, each with the test that now fails with it.

For the mutation runner (mutate.py REPO MUTANTS.py): M is a list of (id, old, new, description); `old` occurs exactly once
under mailbox/, tools/ and headers/. WHERE gives each id's file and the test (a ctest -R pattern)
that kills it, for a quick check of one mutant:
    python3 tests/mutants/seeded.py ID   # seeds it, builds, runs its test, puts it back
"""
M = [
    ("plain-resume-elsewhere",
     "w.log.where.ino == r.here.ino && w.log.recs.size() == r.recs.size()",
     "w.log.recs.size() == r.recs.size()",
     "a plain run takes up a journal written in another directory"),
    ("plain-stop-leaves-aside",
     "if (r.recs.empty() || (renumstopping(r) && r.away.empty())) {",
     "if (r.recs.empty() || renumstopping(r)) {",
     "stopped before the journal, a plain run leaves an earlier run's set-aside files"),
    ("plain-workdir-status0",
     "return renumdropwork(r.opts, w.dir, true) ? rc : RENUMFILES;",
     "return renumdropwork(r.opts, w.dir, true) ? rc : rc;",
     "a plain run whose work directory stays ends with status 0"),
    ("abort-unsynced",
     "    if (!dursyncdir(\".\")) {\n        renumsay(r.opts, \"cannot sync the directory '.': %s; the journal stays\\n\", strerror(errno));",
     "    if (false) {\n        renumsay(r.opts, \"cannot sync the directory '.': %s; the journal stays\\n\", strerror(errno));",
     "--abort removes the journal with the moves back not synced"),
    ("abort-elsewhere",
     "if (w.log.where.ino != r.here.ino) {",
     "if (false) {",
     "--abort from another directory finds nothing and removes the journal"),
    ("abort-dry-clears",
     "    if (r.dry) return rc;\n    return clearup(r, w, rc);",
     "    return clearup(r, w, rc);",
     "--abort -n removes the journal"),
    ("durwrite-leaves-tmp",
     "    if (ok) err = errno;\n    (void)unlink(tmp.c_str());",
     "    if (ok) err = errno;",
     "durwrite leaves its temporary file after a failed write"),
    ("durbeside-not-hidden",
     "+ \"/.\" + path.substr(",
     "+ \"/\" + path.substr(",
     "durbeside gives NAME+ext, not hidden"),
    ("dursyncdir-unopened",
     "    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);\n    if (fd < 0) return false;\n    const bool ok",
     "    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);\n    if (fd < 0) return true;\n    const bool ok",
     "dursyncdir counts a directory it can't open as synced"),
    ("status-or",
     "std::strchr(status, 'R') != nullptr",
     "status[0] == 'R'",
     "Status: OR not read as read"),
    ("fold-kept",
     "if (c != '\\r' && c != '\\n') out += c;",
     "out += c;",
     "a fold's line break kept in a long-word subject"),
    ("wrtmeta-nofsync",
     "    if (fsync(tmpfd) != 0) return fail(\"syncing\", fname);\n",
     "",
     "wrtmeta writes the index without its fsync"),
    ("wrtmeta-dirsync-first",
     "    if (rename(tmpname.c_str(), fname) != 0) return fail(\"renaming\", fname);\n    (void)guard.release();  // renamed into place: nothing left to remove\n    if (syncdir(fname) != 0) return fail(\"syncing\", fname);",
     "    if (syncdir(fname) != 0) return fail(\"syncing\", fname);\n    if (rename(tmpname.c_str(), fname) != 0) return fail(\"renaming\", fname);\n    (void)guard.release();  // renamed into place: nothing left to remove",
     "wrtmeta syncs the directory before its rename"),
    ("wrtmeta-nodirsync",
     "if (syncdir(fname) != 0) return fail(\"syncing\", fname);",
     "if (false && syncdir(fname) != 0) return fail(\"syncing\", fname);",
     "wrtmeta does not sync the directory"),
    ("lockat-anyerror",
     "if (err == EWOULDBLOCK) return RENUMOK;  // the caller's lock",
     "return RENUMOK;  // the caller's lock",
     "any flock error on '.' taken as the caller's lock"),
    ("tool-unlocked",
     "    if (*lock < 0) {\n",
     "    if (false) {\n",
     "msgseq goes on unlocked when flock fails"),
    ("journal-read-error",
     "    if (n < 0) return renumjournal::bad;\n",
     "",
     "a journal read error taken as a short journal"),
    ("twin-not-reserved",
     "if (r.state[i] == renumst::twin || (r.verified && r.ino[i] == 0 && !r.away.contains(i)))",
     "if ((r.verified && r.ino[i] == 0 && !r.away.contains(i)))",
     "a name listed twice not reserved"),
    ("keep-by-inode",
     "                r.keep.emplace_back(name);\n",
     "                {}\n",
     "a name of the index or of a link on its path not kept by inode"),
    ("aside-link-kept",
     "if (renumtwoentries(r, temp, renumlisted(r, i))) (void)renumfsunlink(r, temp);",
     "if (renumtwoentries(r, temp, renumlisted(r, i))) {}",
     "a set-aside link cut short not undone when there is no journal"),
    ("plain-count-unchecked",
     "w.log.where.ino == r.here.ino && w.log.recs.size() == r.recs.size()",
     "w.log.where.ino == r.here.ino",
     "a plain run resumes a journal of more records than the index lists"),
    ("update-count-unchecked",
     "if (u.log.where.ino != r.here.ino || journaled != r.recs.size()) {",
     "if (u.log.where.ino != r.here.ino) {",
     "an update resumes a journal of more records than the index lists"),
]

WHERE = {
    "plain-resume-elsewhere": ("mailbox/renumplain.cpp", "Seeded.PlainResumeAndAbortElsewhereTouchNothing"),
    "plain-stop-leaves-aside": ("mailbox/renumplain.cpp", "Seeded.PlainStopBeforeTheJournalStillTakesOnASetAsideFile"),
    "plain-workdir-status0": ("mailbox/renumplain.cpp", "Seeded.PlainRunWhoseWorkDirectoryStaysIsNoSuccess"),
    "abort-unsynced": ("mailbox/renumabort.cpp", "Seeded.AbortSyncsTheMovesBackBeforeTheJournalGoes"),
    "abort-elsewhere": ("mailbox/renumabort.cpp", "Seeded.PlainResumeAndAbortElsewhereTouchNothing"),
    "abort-dry-clears": ("mailbox/renumabort.cpp", "Seeded.AbortDryRunKeepsTheJournal"),
    "durwrite-leaves-tmp": ("mailbox/durable.cpp", "Seeded.UpdateLeavesNoNewIndexAfterAFailedWrite|Seeded.RebuildWritesThroughAHiddenNameAndLeavesNone"),
    "durbeside-not-hidden": ("mailbox/durable.cpp", "Seeded.RebuildWritesThroughAHiddenNameAndLeavesNone"),
    "dursyncdir-unopened": ("mailbox/durable.cpp", "Seeded.DirectoryThatCannotBeOpenedIsNotSynced"),
    "status-or": ("headers/msghdr.cpp", "MsgHdr.ReadsAndDecodes/status_or"),
    "fold-kept": ("headers/msghdr.cpp", "MsgHdr.ReadsAndDecodes/long_word_folded_before_text"),
    "wrtmeta-nofsync": ("mailbox/meta.cpp", "Seeded.WrtmetaSyncsTheFileThenRenamesThenSyncsTheDirectory"),
    "wrtmeta-dirsync-first": ("mailbox/meta.cpp", "Seeded.WrtmetaSyncsTheFileThenRenamesThenSyncsTheDirectory"),
    "wrtmeta-nodirsync": ("mailbox/meta.cpp", "Seeded.WrtmetaSyncsTheFileThenRenamesThenSyncsTheDirectory"),
    "lockat-anyerror": ("mailbox/renum.cpp", "SeededLock.FailedFlockStopsTheRun/Librarys"),
    "tool-unlocked": ("tools/msgseq.cpp", "SeededLock.FailedFlockStopsTheRun/ToolsLock"),
    "journal-read-error": ("mailbox/renumjournal.cpp", "Seeded.JournalThatCannotBeReadSaysWhy"),
    "twin-not-reserved": ("mailbox/renummove.cpp", "Seeded.UpdateKeepsATwiceListedNameFree"),
    "keep-by-inode": ("mailbox/renumscan.cpp", "Seeded.NamesOfTheIndexAndItsLinkAreKeptByInode"),
    "plain-count-unchecked": ("mailbox/renumplain.cpp", "Seeded.ResumeOnAnIndexWithARecordLessTouchesNothing"),
    "update-count-unchecked": ("mailbox/renumupdate.cpp", "Seeded.ResumeOnAnIndexWithARecordLessTouchesNothing"),
    "aside-link-kept": ("mailbox/renumscan.cpp", "Seeded.PlainRunUndoesASetAsideLinkCutShort"),
}

if __name__ == "__main__":
    import glob, os, subprocess, sys
    here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    srcs = sorted(f for d in ("mailbox", "tools", "headers") for f in glob.glob(os.path.join(here, d, "*.cpp")))
    for mid, old, new, desc in M:
        if sys.argv[1:] and mid not in sys.argv[1:]:
            continue
        hits = [(f, open(f).read()) for f in srcs]
        hits = [(f, t) for f, t in hits if old in t]
        if len(hits) != 1 or hits[0][1].count(old) != 1:
            print(mid, "NOMATCH", len(hits)); continue
        f, text = hits[0]
        open(f, "w").write(text.replace(old, new))
        try:
            b = subprocess.run(["cmake", "--build", "build", "-j2"], cwd=here, capture_output=True)
            if b.returncode:
                print(mid, "BUILDFAIL"); continue
            t = subprocess.run(["ctest", "--test-dir", "build", "--no-tests=error", "-R", WHERE[mid][1]], cwd=here,
                               capture_output=True, text=True)
            print(mid, os.path.relpath(f, here), "KILLED" if t.returncode else "SURVIVED", flush=True)
        finally:
            open(f, "w").write(text)
    subprocess.run(["cmake", "--build", "build", "-j2"], cwd=here, capture_output=True)
