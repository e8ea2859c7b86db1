/* Makes one kind of file-system call fail, from its Nth call on, in the process it is
 * preloaded into. Only calls on the command's temporary files (".part") are counted, so the
 * interpreter's own output is left alone; fsync counts every call (the file's, then its
 * folder's).
 *
 *   FAULT_CALL  write | short | fsync | close | link | rename
 *   FAULT_AT    N (1 = the first call)
 *   FAULT_ERRNO the errno to fail with (default EIO)
 *
 * "short" fails nothing: the Nth write on a temporary file takes only half of what it is
 * given, as the kernel may, and reports so.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static long calls;

static int due(const char *name, int once) {
    const char *call = getenv("FAULT_CALL");
    const char *at = getenv("FAULT_AT");
    if (call == NULL || strcmp(call, name) != 0)
        return 0;
    long n = ++calls, wanted = at ? atol(at) : 1;
    return once ? n == wanted : n >= wanted;
}

static int fail(void) {
    const char *code = getenv("FAULT_ERRNO");
    errno = code ? atoi(code) : EIO;
    return -1;
}

static int ends_with_part(const char *path) {
    size_t length = strlen(path);
    return length >= 5 && strcmp(path + length - 5, ".part") == 0;
}

static int is_temporary(int fd) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, path, sizeof path - 1);
    if (length < 0)
        return 0;
    path[length] = '\0';
    return ends_with_part(path);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void *buffer, size_t count) {
    if (count > 0 && is_temporary(fd)) {
        if (due("write", 0))
            return fail();
        if (due("short", 1) && count > 1)
            return REAL(write)(fd, buffer, count / 2);
    }
    return REAL(write)(fd, buffer, count);
}

int fsync(int fd) {
    struct stat status;
    int folder = fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
    if (folder ? due("folder-fsync", 0) : is_temporary(fd) && due("fsync", 0))
        return fail();
    return REAL(fsync)(fd);
}

int close(int fd) {
    if (is_temporary(fd) && due("close", 0)) {
        REAL(close)(fd); /* the descriptor is gone, as after a failed close on NFS */
        return fail();
    }
    return REAL(close)(fd);
}

int link(const char *from, const char *to) {
    if (ends_with_part(from) && due("link", 0))
        return fail();
    return REAL(link)(from, to);
}

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags) {
    if (ends_with_part(from) && due("link", 0))
        return fail();
    return REAL(linkat)(from_dir, from, to_dir, to, flags);
}

int rename(const char *from, const char *to) {
    if (ends_with_part(from) && due("rename", 0))
        return fail();
    return REAL(rename)(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    if (ends_with_part(from) && due("rename", 0))
        return fail();
    return REAL(renameat)(from_dir, from, to_dir, to);
}
