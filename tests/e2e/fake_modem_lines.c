/* Preloaded into kestavo by the end-to-end tests: pseudo-terminals have no
 * modem-control lines, so the kernel answers TIOCM* with ENOTTY. Here each
 * pseudo-terminal fd gets a DTR/RTS state of its own, and every request that
 * sets the lines is appended to $FAKE_MODEM_LOG, where the test reads it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

enum { kMaxFd = 4096, kLines = TIOCM_DTR | TIOCM_RTS };

struct line_state {
    int known;
    int bits;
    char path[64];
};

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static struct line_state g_lines[kMaxFd];

static ioctl_fn real_ioctl(void)
{
    static ioctl_fn fn;
    if (!fn)
        fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return fn;
}

static close_fn real_close(void)
{
    static close_fn fn;
    if (!fn)
        fn = (close_fn)dlsym(RTLD_NEXT, "close");
    return fn;
}

static int pts_path(int fd, char *path, size_t size)
{
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, size - 1);
    if (n <= 0)
        return 0;
    path[n] = '\0';
    return strncmp(path, "/dev/pts/", 9) == 0;
}

static void log_state(const struct line_state *line, const char *suffix)
{
    const char *name = getenv("FAKE_MODEM_LOG");
    if (!name || !*name)
        return;
    char text[128];
    const int len = snprintf(text, sizeof text, "%s DTR=%d RTS=%d%s\n", line->path,
                             (line->bits & TIOCM_DTR) ? 1 : 0, (line->bits & TIOCM_RTS) ? 1 : 0, suffix);
    /* One write per line with O_APPEND: lines from several fds never interleave. */
    const int out = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    ssize_t ignored = write(out, text, (size_t)len);
    (void)ignored;
    real_close()(out);
}

static int modem_request(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    char path[sizeof g_lines[0].path];
    if (!modem_request(request) || fd < 0 || fd >= kMaxFd || !pts_path(fd, path, sizeof path))
        return real_ioctl()(fd, request, arg);
    if (!arg) {
        errno = EFAULT;
        return -1;
    }

    pthread_mutex_lock(&g_lock);
    struct line_state *line = &g_lines[fd];
    if (!line->known || strcmp(line->path, path) != 0) {
        /* The kernel raises both lines when a tty is opened. */
        line->known = 1;
        line->bits = kLines;
        strcpy(line->path, path);
        log_state(line, " open");
    }
    const int value = request == TIOCMGET ? 0 : *(const int *)arg;
    switch (request) {
    case TIOCMGET:
        *(int *)arg = line->bits;
        break;
    case TIOCMSET:
        line->bits = value & kLines;
        break;
    case TIOCMBIS:
        line->bits |= value & kLines;
        break;
    case TIOCMBIC:
        line->bits &= ~(value & kLines);
        break;
    }
    if (request != TIOCMGET)
        log_state(line, "");
    pthread_mutex_unlock(&g_lock);
    return 0;
}

int close(int fd)
{
    /* No mutex here: close() must stay safe wherever it is called. */
    if (fd >= 0 && fd < kMaxFd)
        __atomic_store_n(&g_lines[fd].known, 0, __ATOMIC_RELEASE);
    close_fn fn = real_close();
    if (!fn)
        return (int)syscall(SYS_close, fd);
    return fn(fd);
}
