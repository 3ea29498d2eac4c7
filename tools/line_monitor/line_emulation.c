/* Preloaded into a program so that the pseudo-terminals it is told of behave
 * like serial ports with modem-control lines, as the Linux tty layer drives
 * them: both lines rise at every open (unless the speed is B0), both drop at
 * the last close when HUPCL is set, TIOCMSET/BIS/BIC change what they name, and
 * a change to or from B0 drops or raises them. Every event goes to the monitor
 * through the descriptor it handed down; see line_emulation_protocol.h. */
#define _GNU_SOURCE
#include "line_emulation_protocol.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { kMaxFd = 4096, kBoth = KESTAVO_LINE_DTR | KESTAVO_LINE_RTS };

struct line {
    char path[256];
    dev_t device;
    int opens;
    int levels;
    int b0;
};

static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static struct line g_lines[KESTAVO_LINE_MAX];
static int g_lineCount;
static int g_eventsFd = -1;
static struct kestavo_line_queue *g_queues;
/* Index + 1 of the line an fd is open on, 0 for none. */
static unsigned char g_fdLine[kMaxFd];

#define REAL(name, type)                                                                                     \
    static type real_##name(void)                                                                            \
    {                                                                                                        \
        static type fn;                                                                                      \
        if (!fn)                                                                                             \
            fn = (type)dlsym(RTLD_NEXT, #name);                                                              \
        return fn;                                                                                           \
    }

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcflush_fn)(int, int);
typedef ssize_t (*write_fn)(int, const void *, size_t);

REAL(open, open_fn)
REAL(open64, open_fn)
REAL(openat, openat_fn)
REAL(openat64, openat_fn)
REAL(__open_2, open2_fn)
REAL(__open64_2, open2_fn)
REAL(close, close_fn)
REAL(ioctl, ioctl_fn)
REAL(tcsetattr, tcsetattr_fn)
REAL(tcflush, tcflush_fn)
REAL(write, write_fn)

static void init(void)
{
    const char *paths = getenv(KESTAVO_LINE_PATHS);
    const char *events = getenv(KESTAVO_LINE_EVENTS_FD);
    const char *queues = getenv(KESTAVO_LINE_QUEUE_FD);
    if (events && *events)
        g_eventsFd = atoi(events);
    for (const char *at = paths; at && *at && g_lineCount < KESTAVO_LINE_MAX;) {
        const char *end = strchrnul(at, ':');
        struct line *line = &g_lines[g_lineCount];
        const size_t length = (size_t)(end - at) < sizeof line->path ? (size_t)(end - at) : sizeof line->path - 1;
        memcpy(line->path, at, length);
        line->path[length] = '\0';
        struct stat st;
        if (length > 0 && stat(line->path, &st) == 0 && S_ISCHR(st.st_mode)) {
            line->device = st.st_rdev;
            ++g_lineCount;
        }
        at = *end ? end + 1 : end;
    }
    if (queues && *queues) {
        void *block = mmap(NULL, sizeof(struct kestavo_line_queue) * KESTAVO_LINE_MAX, PROT_READ | PROT_WRITE,
                           MAP_SHARED, atoi(queues), 0);
        if (block != MAP_FAILED)
            g_queues = block;
    }
}

static struct line *line_of(int fd)
{
    if (fd < 0 || fd >= kMaxFd)
        return NULL;
    const int index = __atomic_load_n(&g_fdLine[fd], __ATOMIC_ACQUIRE);
    return index ? &g_lines[index - 1] : NULL;
}

static struct kestavo_line_queue *queue_of(const struct line *line)
{
    return g_queues ? &g_queues[line - g_lines] : NULL;
}

static uint64_t queued(const struct kestavo_line_queue *queue)
{
    const uint64_t written = __atomic_load_n(&queue->written, __ATOMIC_ACQUIRE);
    const uint64_t gone = __atomic_load_n(&queue->carried, __ATOMIC_ACQUIRE)
        + __atomic_load_n(&queue->discarded, __ATOMIC_ACQUIRE);
    return written > gone ? written - gone : 0;
}

/* Called with g_lock held. */
static void emit(const struct line *line, const char *kind, int before, int after, uint64_t count)
{
    if (g_eventsFd < 0)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[400];
    const int length = snprintf(text, sizeof text, "%lld %s %d %d %llu %s\n",
                                (long long)now.tv_sec * 1000000000LL + now.tv_nsec, kind, before, after,
                                (unsigned long long)count, line->path);
    /* One write under PIPE_BUF: events of several threads never interleave. */
    const int saved = errno;
    if (real_write()(g_eventsFd, text, (size_t)length) < 0) {
        /* A full or closed channel loses the event; the program must go on. */
    }
    errno = saved;
}

static int is_b0(int fd)
{
    struct termios settings;
    return tcgetattr(fd, &settings) == 0 && cfgetospeed(&settings) == B0;
}

static int opened(int fd)
{
    pthread_once(&g_once, init);
    if (fd < 0 || fd >= kMaxFd || g_lineCount == 0)
        return fd;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return fd;
    for (int i = 0; i < g_lineCount; ++i) {
        if (g_lines[i].device != st.st_rdev)
            continue;
        pthread_mutex_lock(&g_lock);
        struct line *line = &g_lines[i];
        const int before = line->levels;
        line->b0 = is_b0(fd);
        if (!line->b0)
            line->levels = kBoth;
        ++line->opens;
        __atomic_store_n(&g_fdLine[fd], (unsigned char)(i + 1), __ATOMIC_RELEASE);
        emit(line, "open", before, line->levels, 0);
        pthread_mutex_unlock(&g_lock);
        break;
    }
    return fd;
}

static mode_t mode_argument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(args, mode_t) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real_open()(path, flags, mode));
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real_open64()(path, flags, mode));
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real_openat()(dir, path, flags, mode));
}

int openat64(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real_openat64()(dir, path, flags, mode));
}

int __open_2(const char *path, int flags)
{
    return opened(real___open_2()(path, flags));
}

int __open64_2(const char *path, int flags)
{
    return opened(real___open64_2()(path, flags));
}

int close(int fd)
{
    struct line *line = line_of(fd);
    if (line) {
        struct termios settings;
        const int hangUp = tcgetattr(fd, &settings) != 0 || (settings.c_cflag & HUPCL);
        pthread_mutex_lock(&g_lock);
        const int before = line->levels;
        if (--line->opens <= 0) {
            line->opens = 0;
            if (hangUp)
                line->levels = 0;
        }
        __atomic_store_n(&g_fdLine[fd], 0, __ATOMIC_RELEASE);
        emit(line, "close", before, line->levels, 0);
        pthread_mutex_unlock(&g_lock);
    }
    close_fn fn = real_close();
    return fn ? fn(fd) : (int)syscall(SYS_close, fd);
}

static int modem_request(struct line *line, unsigned long request, int *bits)
{
    pthread_mutex_lock(&g_lock);
    const int before = line->levels;
    const char *kind = NULL;
    switch (request) {
    case TIOCMGET:
        *bits = (before & KESTAVO_LINE_DTR ? TIOCM_DTR : 0) | (before & KESTAVO_LINE_RTS ? TIOCM_RTS : 0);
        break;
    case TIOCMSET:
        kind = "set";
        line->levels = (*bits & TIOCM_DTR ? KESTAVO_LINE_DTR : 0) | (*bits & TIOCM_RTS ? KESTAVO_LINE_RTS : 0);
        break;
    case TIOCMBIS:
        kind = "bis";
        line->levels |= (*bits & TIOCM_DTR ? KESTAVO_LINE_DTR : 0) | (*bits & TIOCM_RTS ? KESTAVO_LINE_RTS : 0);
        break;
    case TIOCMBIC:
        kind = "bic";
        line->levels &= ~((*bits & TIOCM_DTR ? KESTAVO_LINE_DTR : 0) | (*bits & TIOCM_RTS ? KESTAVO_LINE_RTS : 0));
        break;
    }
    if (kind && line->levels != before)
        emit(line, kind, before, line->levels, 0);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);

    struct line *line = line_of(fd);
    if (line && (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
        if (!argument) {
            errno = EFAULT;
            return -1;
        }
        return modem_request(line, request, argument);
    }
    if (line && request == TIOCOUTQ && queue_of(line)) {
        if (!argument) {
            errno = EFAULT;
            return -1;
        }
        const uint64_t count = queued(queue_of(line));
        *(int *)argument = count > 0x7fffffff ? 0x7fffffff : (int)count;
        return 0;
    }
    return real_ioctl()(fd, request, argument);
}

int tcsetattr(int fd, int when, const struct termios *settings)
{
    const int result = real_tcsetattr()(fd, when, settings);
    struct line *line = line_of(fd);
    if (result != 0 || !line)
        return result;
    const int b0 = cfgetospeed(settings) == B0;
    pthread_mutex_lock(&g_lock);
    const int before = line->levels;
    if (b0 && !line->b0) {
        line->levels = 0;
        emit(line, "b0", before, line->levels, 0);
    } else if (!b0 && line->b0) {
        line->levels |= KESTAVO_LINE_DTR | (settings->c_cflag & CRTSCTS ? 0 : KESTAVO_LINE_RTS);
        emit(line, "unb0", before, line->levels, 0);
    }
    line->b0 = b0;
    pthread_mutex_unlock(&g_lock);
    return result;
}

int tcflush(int fd, int selector)
{
    struct line *line = line_of(fd);
    struct kestavo_line_queue *queue = line ? queue_of(line) : NULL;
    if (queue && (selector == TCOFLUSH || selector == TCIOFLUSH)) {
        pthread_mutex_lock(&g_lock);
        const uint64_t count = queued(queue);
        if (count > 0) {
            __atomic_add_fetch(&queue->discarded, count, __ATOMIC_RELEASE);
            emit(line, "flush", line->levels, line->levels, count);
        }
        pthread_mutex_unlock(&g_lock);
    }
    return real_tcflush()(fd, selector);
}

ssize_t write(int fd, const void *data, size_t size)
{
    const ssize_t written = real_write()(fd, data, size);
    struct line *line = written > 0 ? line_of(fd) : NULL;
    if (line && queue_of(line))
        __atomic_add_fetch(&queue_of(line)->written, (uint64_t)written, __ATOMIC_RELEASE);
    return written;
}
