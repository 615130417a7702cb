#include "tidewell/liveness.hpp"
#include "tidewell/segment_common.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

bool process_alive(pid_t pid)
{
    if (pid <= 0) {
        return false;
    }
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    char path[48];
    std::snprintf(path, sizeof(path), "/proc/%ld/stat", static_cast<long>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno != ENOENT;
    }
    char buf[512];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) {
        return true;
    }
    buf[n] = '\0';
    // The state letter follows the command name, which is in parentheses and may hold any byte.
    const char* paren = std::strrchr(buf, ')');
    if (paren == nullptr || paren[1] == '\0' || paren[2] == '\0') {
        return true;
    }
    return paren[2] != 'Z' && paren[2] != 'X';
}

bool object_of(int fd, ObjectId& id)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        return false;
    }
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return true;
}

bool name_refers_to(const char* name, const ObjectId& id)
{
    char path[PATH_MAX];
    if (!segment_path(name, path, sizeof(path))) {
        return false;
    }
    struct stat now;
    return stat(path, &now) == 0 && now.st_ino == id.ino && now.st_dev == id.dev;
}

void unlink_if_same(const char* name, const ObjectId& id)
{
    if (name_refers_to(name, id)) {
        shm_unlink(name);
    }
}

} // namespace tw
