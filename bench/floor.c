/* kelvane-bench-floor SOURCE DEST: the floor of a run of kelvane-cli.
 *
 * Puts SOURCE's bytes in place of DEST the way kelvane-cli replaces its output, without reading
 * a list or building entries: a new file beside DEST (with DEST's mode when DEST is a file),
 * written in 1 MiB pieces whose write-back is started as each is written, then renamed over DEST.
 * Exit status: 0 when DEST holds the bytes, 1 when a call failed (the new file is removed),
 * 2 on a usage error. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kPiece = 1024 * 1024 };

static char g_buf[kPiece];

static int fail(const char* what, const char* path, const char* temp) {
    fprintf(stderr, "kelvane-bench-floor: %s %s: %s\n", what, path, strerror(errno));
    if (temp)
        unlink(temp);
    return 1;
}

/* One piece, as much as the source gives up to kPiece; 0 at its end, -1 on an error. */
static ssize_t readPiece(int fd) {
    size_t got = 0;
    while (got < kPiece) {
        const ssize_t n = read(fd, g_buf + got, kPiece - got);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        got += (size_t)n;
    }
    return (ssize_t)got;
}

static int writeAll(int fd, const char* p, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: kelvane-bench-floor SOURCE DEST\n");
        return 2;
    }
    const char* src = argv[1];
    const char* dst = argv[2];
    const int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fail("cannot open", src, NULL);

    /* The new file is named as kelvane-cli names its own: ".NAME." and random letters, beside NAME. */
    const char* slash = strrchr(dst, '/');
    const size_t dirLen = slash ? (size_t)(slash - dst) + 1 : 0;
    const size_t tempSize = strlen(dst) + 16;
    char* temp = malloc(tempSize);
    if (!temp)
        return fail("out of memory for", dst, NULL);
    snprintf(temp, tempSize, "%.*s.%s.XXXXXX", (int)dirLen, dst, dst + dirLen);
    const int out = mkostemp(temp, O_CLOEXEC);
    if (out < 0)
        return fail("cannot create a file beside", dst, NULL);
    struct stat st;
    if (stat(dst, &st) == 0 && S_ISREG(st.st_mode)) {
        (void)fchmod(out, st.st_mode & 07777);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        (void)fchmod(out, 0666 & ~mask);
    }

    off_t done = 0;
    for (;;) {
        const ssize_t n = readPiece(in);
        if (n < 0)
            return fail("cannot read", src, temp);
        if (n == 0)
            break;
        if (writeAll(out, g_buf, (size_t)n) != 0)
            return fail("cannot write", temp, temp);
        (void)sync_file_range(out, done, n, SYNC_FILE_RANGE_WRITE);
        done += n;
    }
    if (close(out) != 0)
        return fail("cannot write", temp, temp);
    if (rename(temp, dst) != 0)
        return fail("cannot rename over", dst, temp);
    close(in);
    free(temp);
    return 0;
}
