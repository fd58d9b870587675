// Maildir folders read and named (headers/maildir.h).
#include "headers/maildir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

bool mdis(const std::string& dir) {
    struct stat st;
    return (stat((dir + "/cur").c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ||
           (stat((dir + "/new").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

bool mdlist(const std::string& dir, std::vector<mdmsg>* out) {
    std::vector<std::pair<std::string, std::string>> names;  // name, sub
    // One file under two names (a reader moving it by link and unlink,
    // caught between the two) is one message: its cur/ name, read later.
    std::map<std::pair<dev_t, ino_t>, size_t> byid;
    for (const char* sub : {"new", "cur"}) {
        const std::string path = dir + "/" + sub;
        DIR* d = opendir(path.c_str());
        if (!d && errno == ENOENT) continue;
        if (!d) return false;
        errno = 0;
        while (const dirent* e = readdir(d)) {
            struct stat st;
            if (e->d_name[0] == '.' || lstat((path + "/" + e->d_name).c_str(), &st) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            if (const auto [it, fresh] = byid.try_emplace({st.st_dev, st.st_ino}, names.size());
                !fresh) {
                names[it->second] = {e->d_name, sub};
                continue;
            }
            names.emplace_back(e->d_name, sub);
        }
        const int err = errno;
        closedir(d);
        if (err) {
            errno = err;
            return false;
        }
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        const int c = strverscmp(a.first.c_str(), b.first.c_str());
        return c != 0 ? c < 0 : a.second < b.second;
    });
    for (const auto& [name, sub] : names) {
        const size_t info = name.rfind(":2,");
        const bool seen = info != std::string::npos && name.find('S', info + 3) != std::string::npos;
        std::string path = dir;
        path += '/';
        path += sub;
        path += '/';
        path += name;
        out->push_back({std::move(path), seen});
    }
    return true;
}

std::string mdname(long count, bool seen) {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_REALTIME, &ts);
    char host[256] = "localhost";
    (void)gethostname(host, sizeof host - 1);
    host[sizeof host - 1] = '\0';
    for (char* p = host; *p; p++)
        if (*p == '/' || *p == ':') *p = '_';
    char buf[400];
    (void)snprintf(buf, sizeof buf, "%lld.M%ldP%dQ%ld.%s%s", static_cast<long long>(ts.tv_sec),
                   ts.tv_nsec / 1000, static_cast<int>(getpid()), count, host, seen ? ":2,S" : "");
    return buf;
}
